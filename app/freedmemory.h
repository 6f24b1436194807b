#pragma once

// Gives the heap's free memory back to the system. After a burst (a refused
// server message of many megabytes, a backlog of thousands of uplinks) the C
// library keeps what it freed for later use; an unattended service should
// return to its usual size instead. Cheap enough for rare events only.
void releaseFreedMemory();
