#include "app/freedmemory.h"

#include <cstdlib> // defines __GLIBC__ with the C library in use

#ifdef __GLIBC__
#include <malloc.h>
#endif

void releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}
