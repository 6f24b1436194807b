#pragma once

// Registers the compiled-in style sheet, icons and web console pages. Safe to call more than once.
void tidewellInitResources();
