// The compiler emits calls to memset for zeroing records, and there is no C
// runtime to provide it. Built with -fno-tree-loop-distribute-patterns so the
// loop below is not itself turned back into a call to memset.
#include <stddef.h>

extern "C" void* memset(void* destination, int value, size_t count)
{
    unsigned char* p = static_cast<unsigned char*>(destination);
    while (count-- != 0) {
        *p++ = static_cast<unsigned char>(value);
    }
    return destination;
}
