#pragma once

// How a platform function reports failure: the form column of the table of platform calls
// (common/platform_calls.inc). The library answers a delay-loaded call whose DLL cannot be
// loaded in this form, and the test suite injects failures in it; both check every row
// against the function's return type here, so that a row the type cannot carry does not
// compile.

#include <windows.h>

#include <type_traits>

namespace zorva {

enum class Form { Status, Hresult, False, InvalidHandle, Never };

// How the library binds a function: as usual, or delay-loaded, when the library itself
// answers for it if its DLL cannot be loaded.
enum class Binding { Imported, DelayLoaded };

// Whether a function returning R can report failure in that form: FALSE, 0 or null where 0
// means success (ERROR_SUCCESS, S_OK), or an error code where any positive value means
// success (an HRESULT), would report a failed call as done. HRESULT, LSTATUS and NTSTATUS
// are one type (LONG): the library's own answer, ERROR_MOD_NOT_FOUND, goes only to a DWORD
// function, so that no HRESULT function gets it. An imported function's status may be the
// registry's LSTATUS or the native API's NTSTATUS, which the type cannot tell from an
// HRESULT; its row's error is whatever that function returns.
template <typename R>
constexpr bool CanFailAs(Form form, Binding binding)
{
    switch (form) {
    case Form::Status:
        return std::is_same_v<R, DWORD> || (binding == Binding::Imported && std::is_same_v<R, LONG>);
    case Form::Hresult:
        return std::is_same_v<R, HRESULT>;
    case Form::False:
        return std::is_same_v<R, BOOL> || std::is_pointer_v<R>;
    case Form::InvalidHandle:
        // HDEVINFO too.
        return std::is_same_v<R, HANDLE>;
    case Form::Never:
        return true;
    }
    return false;
}

// The return type of a function, deduced from its address; only for decltype. (As a
// template argument, the type of malloc would carry attributes that GCC drops with a
// warning.)
template <typename R, typename... Parameters>
R ReturnTypeOf(R (*)(Parameters...));

}  // namespace zorva

// A row of the table whose form its function's return type cannot carry does not compile.
#define ZORVA_CHECK_FAILURE_FORM(function, form, binding)                                       \
    static_assert(::zorva::CanFailAs<decltype(::zorva::ReturnTypeOf(&(function)))>(             \
                      ::zorva::Form::form, ::zorva::Binding::binding),                          \
                  "the failure form " #form " of " #function " contradicts its return type")
