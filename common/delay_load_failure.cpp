// What a delay-loaded call does when its DLL or function cannot be had. The loader's helper
// would raise an exception into SetupAPI's or rundll32's process; instead the call fails
// the way the platform documents failure for that very function, in its own return type,
// and the library carries on as after any failed platform call.

#include <windows.h>

#include <delayimp.h>

#include <cstring>

namespace {

// Each answer stands in for functions of any signature: with the x64 calling convention the
// caller owns its arguments, so a stub may ignore them. Each leaves ERROR_MOD_NOT_FOUND as
// the last error, for the functions that report the reason there.
INT_PTR WINAPI AnswerZero()
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
}

INT_PTR WINAPI AnswerInvalidHandle()
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return reinterpret_cast<INT_PTR>(INVALID_HANDLE_VALUE);
}

INT_PTR WINAPI AnswerWin32Error()
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return ERROR_MOD_NOT_FOUND;
}

INT_PTR WINAPI AnswerHresult()
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
}

struct FailureAnswer {
    const char* function;
    INT_PTR(WINAPI* answer)();
};

// Every delay-loaded function and how it reports failure. AnswerZero is FALSE, a null
// pointer or a zero length; for a function that returns nothing it is ignored.
constexpr FailureAnswer kFailureAnswers[] = {
    {"SetupDiDestroyDeviceInfoList", &AnswerZero},       // BOOL
    {"SetupDiEnumDeviceInfo", &AnswerZero},              // BOOL
    {"SetupDiGetClassDevsW", &AnswerInvalidHandle},      // HDEVINFO: INVALID_HANDLE_VALUE, not null
    {"SetupDiGetDeviceInstallParamsW", &AnswerZero},     // BOOL
    {"SetupDiGetDeviceInstanceIdW", &AnswerZero},        // BOOL
    {"SetupDiGetDeviceRegistryPropertyW", &AnswerZero},  // BOOL
    {"SetupDiSetDeviceInstallParamsW", &AnswerZero},     // BOOL
    {"CoInitializeEx", &AnswerHresult},
    {"CoCreateInstance", &AnswerHresult},
    {"CoUninitialize", &AnswerZero},                     // void
    {"SysAllocString", &AnswerZero},                     // BSTR: null
    {"SysAllocStringLen", &AnswerZero},                  // BSTR: null
    {"SysFreeString", &AnswerZero},                      // void
    {"SysStringLen", &AnswerZero},                       // UINT: 0
    {"WinHttpCrackUrl", &AnswerZero},                    // BOOL
    {"ShellExecuteExW", &AnswerZero},                    // BOOL
    {"WNetUseConnectionW", &AnswerWin32Error},           // DWORD: a Win32 error code, not an HRESULT
};

constexpr bool SameName(const char* a, const char* b)
{
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

constexpr bool HasAnswer(const char* function)
{
    for (const FailureAnswer& row : kFailureAnswers) {
        if (SameName(row.function, function)) {
            return true;
        }
    }
    return false;
}

// The build lists the functions it delay-loads (resources/CMakeLists.txt).
constexpr const char* kDelayLoaded[] = {
#include "delay_loaded_functions.inc"
};

constexpr bool EveryDelayLoadedFunctionHasAnAnswer()
{
    for (const char* function : kDelayLoaded) {
        if (!HasAnswer(function)) {
            return false;
        }
    }
    return true;
}

static_assert(EveryDelayLoadedFunctionHasAnAnswer(), "a delay-loaded function has no row in kFailureAnswers");

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
