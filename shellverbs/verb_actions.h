#pragma once

#include <windows.h>

#include <oleauto.h>

namespace zorva {

// Opens a path or URL through the shell, with no error UI; returns ShellExecuteExW's BOOL.
BOOL LaunchShellTarget(const wchar_t* target) noexcept;

// Connects "\\<host>\Public" to a drive letter the system chooses, with the user's default
// credentials and no UI. E_INVALIDARG for an empty host; an error, with no connection
// attempt, for a host too long for the remote name.
HRESULT ConnectPublicShare(BSTR host) noexcept;

}  // namespace zorva

extern "C" {

// rundll32 entry points. Exported without W variants: rundll32 would prefer those and
// pass them a wide tail.
void CALLBACK ShellCommandOpen(HWND window, HINSTANCE instance, LPSTR tail, int show);
void CALLBACK ShellCommandMount(HWND window, HINSTANCE instance, LPSTR tail, int show);
void CALLBACK ShellCommandInstall(HWND window, HINSTANCE instance, LPSTR tail, int show);
}
