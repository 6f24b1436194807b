#pragma once

// Registers the compiled-in style sheet and icons. Safe to call more than once.
void tidewellInitResources();
