#pragma once

#include <windows.h>

#include <oleauto.h>

namespace zorva {

// One BSTR shared by all copies through a heap holder with an interlocked count; the last
// copy to go frees the BSTR and then the holder. Failures throw HResultError
// (E_OUTOFMEMORY, or the Win32 error of a failed ANSI conversion); a holder that cannot
// be allocated throws std::bad_alloc.
class SharedBstr {
public:
    SharedBstr() noexcept = default;
    // Converts NUL-terminated text in the system ANSI code page. Null text holds no BSTR.
    explicit SharedBstr(const char* ansi);
    ~SharedBstr() { Release(); }

    SharedBstr(const SharedBstr& other) noexcept;
    SharedBstr& operator=(const SharedBstr& other) noexcept;
    SharedBstr(SharedBstr&& other) noexcept : holder_(other.holder_) { other.holder_ = nullptr; }
    SharedBstr& operator=(SharedBstr&& other) noexcept;

    // Holds a fresh copy of `text` from now on; other copies keep the old BSTR. Assigning
    // the very BSTR already held changes nothing.
    SharedBstr& operator=(const wchar_t* text);

    // The held BSTR, or null when there is none.
    BSTR get() const noexcept { return holder_ != nullptr ? holder_->text : nullptr; }
    unsigned Length() const noexcept { return SysStringLen(get()); }

    friend SharedBstr operator+(const wchar_t* left, const SharedBstr& right);

private:
    struct Holder {
        BSTR text;
        LONG references;
    };

    // Takes ownership of `text`, also when the holder cannot be allocated.
    static SharedBstr Adopt(BSTR text);
    void Release() noexcept;

    Holder* holder_ = nullptr;
};

}  // namespace zorva
