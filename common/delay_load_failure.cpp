// What a delay-loaded call does when its DLL or function cannot be had. The loader's helper
// would raise an exception into SetupAPI's or rundll32's process; instead the call fails
// the way the platform documents failure for that very function, in its own return type,
// and the library carries on as after any failed platform call.

#include "common/failure_form.h"

#include <windows.h>

#include <delayimp.h>
#include <objbase.h>
#include <oleauto.h>
#include <setupapi.h>
#include <shellapi.h>
#include <winhttp.h>
#include <winnetwk.h>

#include <cstring>
#include <type_traits>

namespace {

using zorva::Form;

template <typename Function>
struct Failing;

// The answer to a call of a function of this signature, in the form of failure its row
// gives, in the function's own return type. It leaves ERROR_MOD_NOT_FOUND as the last
// error, for the functions that report the reason there.
template <typename R, typename... Parameters>
struct Failing<R(WINAPI*)(Parameters...)> {
    template <Form form>
    static R WINAPI Answer(Parameters...)
    {
        SetLastError(ERROR_MOD_NOT_FOUND);
        if constexpr (form == Form::Status) {
            return ERROR_MOD_NOT_FOUND;
        } else if constexpr (form == Form::Hresult) {
            return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
        } else if constexpr (form == Form::InvalidHandle) {
            return INVALID_HANDLE_VALUE;
        } else if constexpr (!std::is_void_v<R>) {
            // FALSE, a null pointer, or for a function that cannot fail a zero length.
            return R{};
        }
    }
};

// The rows the library answers for; the test suite's recorder checks every row.
#define ZORVA_DELAYED_CALL(dll, function, form, error, effect, resource) \
    ZORVA_CHECK_FAILURE_FORM(function, form, DelayLoaded);
#include "common/platform_calls.inc"

struct FailureAnswer {
    const char* function;
    // Of its function's own type, held as a void (*)(), from which it is cast back.
    void (*answer)();
};

// Every delay-loaded function and its answer, in the form of failure its row gives.
const FailureAnswer kFailureAnswers[] = {
#define ZORVA_DELAYED_CALL(dll, function, form, error, effect, resource) \
    {#function, reinterpret_cast<void (*)()>(&Failing<decltype(&(function))>::Answer<Form::form>)},
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
