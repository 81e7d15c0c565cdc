#pragma once

#include <windows.h>

namespace zorva {

// Same mapping as the SDK macro: a positive Win32 code becomes 0x8007xxxx; zero and codes
// that already have the top bit set pass unchanged.
constexpr HRESULT HResultFromWin32(DWORD code) noexcept
{
    return static_cast<HRESULT>(code) <= 0
               ? static_cast<HRESULT>(code)
               : static_cast<HRESULT>((code & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}

}  // namespace zorva
