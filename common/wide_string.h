#pragma once

#include "common/heap.h"

#include <windows.h>

#include <cwchar>
#include <type_traits>
#include <utility>

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
    // E_OUTOFMEMORY without a buffer. A parameter pack rather than C varargs: only scalars
    // (pointers, numbers) reach the formatter, which reads nothing else.
    template <typename... Args>
    [[nodiscard]] HRESULT Format(const wchar_t* format, Args... args) noexcept
    {
        static_assert((std::is_scalar_v<Args> && ...), "printf-style arguments are pointers or numbers");
        if (format == nullptr) {
            return E_INVALIDARG;
        }
        // msvcrt's own _scwprintf/_snwprintf: %s means a wide string there, unlike the C99
        // wide printf family that mingw substitutes for the standard names.
        const int length = _scwprintf(format, args...);
        if (length < 0) {
            return E_FAIL;
        }
        HeapArray<wchar_t> formatted = AllocateArray<wchar_t>(static_cast<size_t>(length) + 1);
        if (!formatted) {
            return E_OUTOFMEMORY;
        }
        const int written = _snwprintf(formatted.get(), static_cast<size_t>(length) + 1, format, args...);
        if (written != length) {
            return E_FAIL;
        }
        text_ = std::move(formatted);
        length_ = length;
        return S_OK;
    }

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
