// What a delay-loaded call does when its DLL or function cannot be had. The loader's helper
// would raise an exception into SetupAPI's or rundll32's process; instead the call fails
// the way the platform documents failure for that very function, in its own return type,
// and the library carries on as after any failed platform call.

#include <windows.h>

#include <delayimp.h>

#include <cstring>

namespace {

// Each form of failure's answer, for functions of any signature: with the x64 calling
// convention the caller owns its arguments, so a stub may ignore them. Each leaves
// ERROR_MOD_NOT_FOUND as the last error, for the functions that report the reason there.
struct Answer {
    // FALSE, a null pointer or a zero length.
    static INT_PTR WINAPI False()
    {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }

    // A handle whose failure is INVALID_HANDLE_VALUE, not null (SetupDiGetClassDevsW's).
    static INT_PTR WINAPI InvalidHandle()
    {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return reinterpret_cast<INT_PTR>(INVALID_HANDLE_VALUE);
    }

    // A Win32 error code returned, not an HRESULT.
    static INT_PTR WINAPI Status()
    {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return ERROR_MOD_NOT_FOUND;
    }

    static INT_PTR WINAPI Hresult()
    {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    }

    // A function that cannot fail: for one that returns nothing the value is ignored, for
    // a length it is zero.
    static INT_PTR WINAPI Never() { return False(); }
};

struct FailureAnswer {
    const char* function;
    INT_PTR(WINAPI* answer)();
};

// Every delay-loaded function and its answer, in the form of failure its row gives.
constexpr FailureAnswer kFailureAnswers[] = {
#define ZORVA_DELAYED_CALL(dll, function, form, error, effect, resource) {#function, &Answer::form},
#include "common/platform_calls.inc"
};

FARPROC WINAPI OnDelayLoadFailure(unsigned notification, PDelayLoadInfo info)
{
    // A DLL that cannot be loaded: ntdll stands in for it, so that looking up the function
    // fails below, for this call and every later one from that DLL. The helper keeps the
    // handle as that DLL's, and when two threads fail at once it frees the handle of the
    // one that lost the race: each call therefore hands over a reference of its own.
    // ntdll, imported by this module anyway, outlives it and exports none of these names.
    if (notification == dliFailLoadLib) {
        HMODULE standIn = nullptr;
        static_cast<void>(GetModuleHandleExW(0, L"ntdll.dll", &standIn));
        return reinterpret_cast<FARPROC>(standIn);
    }
    if (notification != dliFailGetProc || !info->dlp.fImportByName) {
        return nullptr;
    }
    for (const FailureAnswer& row : kFailureAnswers) {
        if (std::strcmp(info->dlp.szProcName, row.function) == 0) {
            return reinterpret_cast<FARPROC>(row.answer);
        }
    }
    return nullptr;
}

}  // namespace

// The loader's helper reads this hook; defining it here keeps the runtime's empty default
// out of the link.
PfnDliHook __pfnDliFailureHook2 = OnDelayLoadFailure;
