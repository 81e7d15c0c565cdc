#pragma once

#include <windows.h>

namespace zorva {

// Writes both plug-in key trees under HKEY_CLASSES_ROOT, with the verb captions in the
// system's UI language. Failed writes are skipped; the later writes are still made. Out of
// memory ends the registration where it stands. Where a tree could not be removed before,
// no write goes through a registry link left in it, nor through a key there that cannot be
// checked for one.
void RegisterPlugInKeys() noexcept;

// Stores `data` as REG_SZ (terminator included) in root\keyPath[\subkey], creating the
// keys as needed; `valueName` null means the default value. True when the value was set.
bool WriteStringValue(const wchar_t* keyPath, const wchar_t* data, const wchar_t* subkey,
                      const wchar_t* valueName, HKEY root) noexcept;

}  // namespace zorva
