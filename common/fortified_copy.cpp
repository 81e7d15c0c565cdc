// The checked copy that mingw-w64's headers call under _FORTIFY_SOURCE where the size of the
// destination is known. GCC's libssp supplies it to the x64 build; the ARM64 toolchain has
// no libssp, so the ARM64 build carries it here, as libssp behaves: a copy longer than its
// destination ends the process (__chk_fail, common/stack_protector.cpp) instead of running
// past it.

#include <string.h>

// Built without _FORTIFY_SOURCE, whose headers would declare it.
extern "C" __attribute__((noreturn)) void __cdecl __chk_fail(void);

extern "C" void* __cdecl __memcpy_chk(void* __restrict__ destination, const void* __restrict__ source, size_t size,
                                      size_t destinationSize)
{
    if (size > destinationSize) {
        __chk_fail();
    }
    return memcpy(destination, source, size);
}
