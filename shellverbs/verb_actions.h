#pragma once

#include <windows.h>

#include <oleauto.h>

namespace zorva {

// What each verb of shellverbs/verbs.inc does with the command-line tail rundll32 passes
// its entry point. Any failure ends the verb silently: rundll32 gets nothing back.

// Finds the device the tail names and opens its network root (\\host) in the shell.
void OpenDeviceRoot(LPSTR tail) noexcept;
// Finds the device the tail names and connects its Public share to a drive letter.
void MountPublicShare(LPSTR tail) noexcept;
// Opens the maker's download page; the tail is not read.
void OpenDownloadPage(LPSTR tail) noexcept;

// Opens a path or URL through the shell, with no error UI; returns ShellExecuteExW's BOOL.
[[nodiscard]] BOOL LaunchShellTarget(const wchar_t* target) noexcept;

// Connects "\\<host>\Public" to a drive letter the system chooses, with the user's default
// credentials and no UI. E_INVALIDARG for an empty host; an error, with no connection
// attempt, for a host too long for the remote name.
[[nodiscard]] HRESULT ConnectPublicShare(BSTR host) noexcept;

}  // namespace zorva
