#pragma once

#include <windows.h>

#include <oleauto.h>

namespace zorva {

// One BSTR shared by all copies through a heap holder with an interlocked count; the last
// copy to go frees the BSTR and then the holder. Operations that make a string report
// failure by their HRESULT, never by throwing (see WideString): E_OUTOFMEMORY when a BSTR,
// the holder or a conversion buffer cannot be had, or the Win32 error of a failed ANSI
// conversion. A failed operation leaves the string as it was.
class SharedBstr {
public:
    SharedBstr() noexcept = default;
    ~SharedBstr() { Release(); }

    SharedBstr(const SharedBstr& other) noexcept;
    SharedBstr& operator=(const SharedBstr& other) noexcept;
    SharedBstr(SharedBstr&& other) noexcept : holder_(other.holder_) { other.holder_ = nullptr; }
    SharedBstr& operator=(SharedBstr&& other) noexcept;

    // Holds NUL-terminated text in the system ANSI code page, converted. Null text holds no
    // BSTR.
    [[nodiscard]] HRESULT AssignAnsi(const char* ansi) noexcept;

    // Holds a fresh copy of `text` from now on; other copies keep the old BSTR. Assigning
    // the very BSTR already held changes nothing.
    [[nodiscard]] HRESULT Assign(const wchar_t* text) noexcept;

    // `result` holds `left` followed by the text of `right`, as a string of its own.
    [[nodiscard]] static HRESULT Concatenate(const wchar_t* left, const SharedBstr& right,
                                             SharedBstr& result) noexcept;

    // The held BSTR, or null when there is none.
    BSTR get() const noexcept { return holder_ != nullptr ? holder_->text : nullptr; }
    unsigned Length() const noexcept { return SysStringLen(get()); }

private:
    struct Holder {
        BSTR text;
        LONG references;
    };

    // Holds `text` from now on, or frees it when no holder can be had.
    [[nodiscard]] HRESULT Adopt(BSTR text) noexcept;
    void Release() noexcept;

    Holder* holder_ = nullptr;
};

}  // namespace zorva
