#pragma once

#include "common/heap.h"

#include <windows.h>

namespace zorva {

// A UTF-16 string value. Its operations report failure by their HRESULT and never throw:
// with this runtime a C++ throw needs heap memory of its own (the exception globals of a
// thread live in emulated TLS, allocated on the thread's first throw), so an exception
// could not even report that memory has run out. A failed operation leaves the content
// unchanged.
class WideString {
public:
    WideString() noexcept = default;

    // Replaces the content with the first `length` code units of `text`. E_INVALIDARG for a
    // negative length or null text with a nonzero length, E_OUTOFMEMORY without a buffer.
    [[nodiscard]] HRESULT Assign(const wchar_t* text, int length) noexcept;

    // Replaces the content with the text up to its terminator; E_INVALIDARG for null text.
    [[nodiscard]] HRESULT Assign(const wchar_t* text) noexcept;

    // Replaces the content with printf-style output (Microsoft semantics: %s is wide text).
    // E_INVALIDARG for a null format, E_FAIL when the output cannot be measured or written,
    // E_OUTOFMEMORY without a buffer.
    [[nodiscard]] HRESULT Format(const wchar_t* format, ...) noexcept;

    // Equality with ASCII letters folded, and no other case folding.
    bool EqualsIgnoringAsciiCase(const wchar_t* other) const noexcept;

    const wchar_t* c_str() const noexcept { return text_ ? text_.get() : L""; }
    int Length() const noexcept { return length_; }

    friend bool operator==(const WideString& a, const wchar_t* b) noexcept;

private:
    HeapArray<wchar_t> text_;
    int length_ = 0;
};

}  // namespace zorva
