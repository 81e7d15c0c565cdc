#pragma once

#include <windows.h>

namespace zorva {

// Writes both plug-in key trees under HKEY_CLASSES_ROOT, with the verb captions in the
// system's UI language. Failed writes are skipped; the later writes are still made. Out of
// memory ends the registration where it stands. Where a tree could not be removed before,
// no write goes through a registry link left in it, nor through a key there that cannot be
// checked for one.
void RegisterPlugInKeys() noexcept;

// Where a string value goes: root\keyPath, or root\keyPath\subkey, under a value name
// (none: the key's default value). Each part is named where it is given, so that no two of
// them can trade places unseen.
class ValueLocation {
public:
    ValueLocation(HKEY root, const wchar_t* keyPath) noexcept : root_(root), keyPath_(keyPath) {}

    ValueLocation InSubkey(const wchar_t* subkey) const noexcept
    {
        ValueLocation location = *this;
        location.subkey_ = subkey;
        return location;
    }

    ValueLocation Named(const wchar_t* valueName) const noexcept
    {
        ValueLocation location = *this;
        location.valueName_ = valueName;
        return location;
    }

    HKEY Root() const noexcept { return root_; }
    const wchar_t* KeyPath() const noexcept { return keyPath_; }
    const wchar_t* Subkey() const noexcept { return subkey_; }        // null: none
    const wchar_t* ValueName() const noexcept { return valueName_; }  // null: the default value

private:
    HKEY root_;
    const wchar_t* keyPath_;
    const wchar_t* subkey_ = nullptr;
    const wchar_t* valueName_ = nullptr;
};

// Stores `data` as REG_SZ (terminator included) at `location`, creating the keys as
// needed. True when the value was set.
[[nodiscard]] bool WriteStringValue(const ValueLocation& location, const wchar_t* data) noexcept;

}  // namespace zorva
