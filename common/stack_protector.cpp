// The canary that -fstack-protector-strong checks, and what a failed check does. GCC's
// libssp would seed the canary with CryptGenRandom while the DLL loads: that loads a
// cryptographic provider (under Wine, with the windowing DLLs behind it) into every process
// that loads this library, SetupAPI's among them. The canary is seeded instead the way the
// Microsoft C runtime seeds its /GS cookie, from sources that cost no module: the clock,
// the performance counter, the process and thread IDs and a stack address. A broken canary,
// or a fortified copy past its destination, ends the process at once through the fast-fail
// interrupt, as /GS does: no handler may run on a smashed stack. Windows 7 has no fast-fail:
// the interrupt is an ordinary access violation there, which a handler could catch and go
// on from, so where the processor feature is missing the process is ended directly, with
// the status the fast-fail reports.

#include <windows.h>

#include <cstdint>

namespace {

// Inlined into each failure hook, so that each carries its own code into the interrupt.
[[noreturn, gnu::always_inline]] inline void FastFail(unsigned int code) noexcept
{
    if (!IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
        static_cast<void>(TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN));
    }
#if defined(__aarch64__)
    // ARM64 raises it with the code in x0 and the break number Windows reserves for it.
    register uintptr_t x0 __asm__("x0") = code;
    __asm__ volatile("brk #0xF003" : : "r"(x0));
#else
    __asm__ volatile("int $0x29" : : "c"(code));
#endif
    __builtin_unreachable();
}

}  // namespace

extern "C" {

// Until the constructor below runs, the same fixed value the Microsoft runtime starts with.
uintptr_t __stack_chk_guard = 0x00002B992DDFA232;

[[noreturn]] void __stack_chk_fail() noexcept { FastFail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE); }

// Declared as mingw-w64's headers declare it (no noexcept; GNU noreturn): clang holds the
// definition to the declaration.
__attribute__((noreturn)) void __chk_fail() { FastFail(FAST_FAIL_RANGE_CHECK_FAILURE); }

}

namespace {

// Runs before any protected frame of this module is entered, and is not protected itself:
// a frame that saved the old canary would fail its check on return.
__attribute__((constructor, no_stack_protector)) void SeedStackGuard() noexcept
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter = {};
    static_cast<void>(QueryPerformanceCounter(&counter));
    uintptr_t seed = (static_cast<uintptr_t>(now.dwHighDateTime) << 32) ^ now.dwLowDateTime;
    seed ^= GetCurrentThreadId();
    seed ^= static_cast<uintptr_t>(GetCurrentProcessId()) << 16;
    seed ^= static_cast<uintptr_t>(counter.QuadPart) << 32 ^ static_cast<uintptr_t>(counter.QuadPart);
    seed ^= reinterpret_cast<uintptr_t>(&seed);
    // The top 16 bits stay clear, as in the Microsoft runtime's cookie: a string copy that
    // overruns a buffer then has to write two zero bytes to forge it.
    seed &= 0x0000FFFFFFFFFFFF;
    __stack_chk_guard = seed != 0 ? seed : 0x00002B992DDFA232;
}

}  // namespace
