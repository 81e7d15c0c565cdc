// What a delay-loaded call does when its DLL or function cannot be had. The loader's helper
// would raise an exception into SetupAPI's or rundll32's process; instead the call fails
// the way the platform reports failure for that function, and the library carries on as
// after any failed platform call.

#include <windows.h>

#include <delayimp.h>

#include <cstring>

namespace {

// Most of the delay-loaded functions report failure as zero: FALSE, a null BSTR, a zero
// length (the void ones ignore what comes back). These report it as nonzero.
constexpr const char* kFailNonzero[] = {"CoInitializeEx", "CoCreateInstance", "WNetUseConnectionW"};

// Both stubs take no arguments: with the x64 calling convention the caller owns its
// arguments, so a stub may ignore them whatever the real function's signature.
INT_PTR WINAPI FailWithZero()
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
}

// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND): a failure as an HRESULT, and nonzero as a Win32
// error code.
INT_PTR WINAPI FailWithModuleNotFound()
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return static_cast<HRESULT>(0x8007007E);
}

FARPROC WINAPI OnDelayLoadFailure(unsigned notification, PDelayLoadInfo info)
{
    // A DLL that cannot be loaded: this module stands in for it, so that looking up the
    // function fails below, for this call and every later one from that DLL.
    if (notification == dliFailLoadLib) {
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&OnDelayLoadFailure), &self);
        return reinterpret_cast<FARPROC>(self);
    }
    if (notification != dliFailGetProc) {
        return nullptr;
    }
    if (info->dlp.fImportByName) {
        for (const char* name : kFailNonzero) {
            if (std::strcmp(info->dlp.szProcName, name) == 0) {
                return reinterpret_cast<FARPROC>(&FailWithModuleNotFound);
            }
        }
    }
    return reinterpret_cast<FARPROC>(&FailWithZero);
}

}  // namespace

// The loader's helper reads this hook; defining it here keeps the runtime's empty default
// out of the link.
PfnDliHook __pfnDliFailureHook2 = OnDelayLoadFailure;
