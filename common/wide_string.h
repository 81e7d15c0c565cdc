#pragma once

#include <windows.h>

#include <string>

namespace zorva {

// A UTF-16 string value. Every failure is reported by throwing HResultError:
// E_OUTOFMEMORY when the buffer cannot grow, E_INVALIDARG for a null format, null text
// with a nonzero length or a negative length, E_FAIL when a format cannot be measured.
class WideString {
public:
    WideString() = default;

    // Replaces the content with the first `length` code units of `text`.
    void Assign(const wchar_t* text, int length);

    // Replaces the content with the text up to its terminator.
    void Assign(const wchar_t* text);

    // Replaces the content with printf-style output. Microsoft semantics: %s is wide text.
    void Format(const wchar_t* format, ...);

    // Equality with ASCII letters folded, and no other case folding.
    bool EqualsIgnoringAsciiCase(const wchar_t* other) const noexcept;

    const wchar_t* c_str() const noexcept { return text_.c_str(); }
    const std::wstring& str() const noexcept { return text_; }

    friend bool operator==(const WideString& a, const wchar_t* b) noexcept { return a.text_ == b; }

private:
    std::wstring text_;
};

}  // namespace zorva
