#pragma once

#include <windows.h>

#include <oleauto.h>

namespace zorva {

// What each verb of shellverbs/verbs.inc does with the command-line tail rundll32 passes
// its entry point, declared from its row. Any failure ends the verb silently: rundll32 gets
// nothing back.
#define ZORVA_VERB(name, entryPoint, action) void action(LPSTR tail) noexcept;
#include "shellverbs/verbs.inc"

// Opens a path or URL through the shell, with no error UI; returns ShellExecuteExW's BOOL.
[[nodiscard]] BOOL LaunchShellTarget(const wchar_t* target) noexcept;

// Connects "\\<host>\Public" to a drive letter the system chooses, with the user's default
// credentials and no UI. E_INVALIDARG for an empty host; an error, with no connection
// attempt, for a host too long for the remote name.
[[nodiscard]] HRESULT ConnectPublicShare(BSTR host) noexcept;

}  // namespace zorva
