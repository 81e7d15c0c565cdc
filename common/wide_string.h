#pragma once

#include "common/heap.h"

#include <windows.h>

#include <cstddef>
#include <cwchar>
#include <type_traits>
#include <utility>

namespace zorva {

// What a format may say, checked while the program compiles. msvcrt reads each argument as
// its conversion says, whatever was passed: a narrow string at %s or a 64-bit number at %d
// would compile and then be read wrongly. So a format is a literal whose conversions are
// %s (a const wchar_t*) and %d (an int) only, plus %% for the sign itself, one for each
// argument in order. A format that breaks this calls one of the functions below while the
// compiler evaluates it, which fails the build with that function's name in the message.
namespace format_fault {
void ArgumentAtPercentSIsNotConstWcharPointer();
void ArgumentAtPercentDIsNotInt();
void ConversionOtherThanPercentSOrPercentD();
void FewerArgumentsThanConversions();
void MoreArgumentsThanConversions();
}  // namespace format_fault

template <typename... Args>
class FormatString {
public:
    template <size_t N>
    consteval FormatString(const wchar_t (&format)[N]) : format_(format)
    {
        constexpr bool kIsWideText[] = {std::is_same_v<Args, const wchar_t*>..., false};
        constexpr bool kIsInt[] = {std::is_same_v<Args, int>..., false};
        size_t argument = 0;
        for (size_t at = 0; at + 1 < N; ++at) {
            if (format[at] != L'%') {
                continue;
            }
            const wchar_t conversion = format[++at];
            if (conversion == L'%') {
                continue;
            }
            if (conversion != L's' && conversion != L'd') {
                format_fault::ConversionOtherThanPercentSOrPercentD();
            }
            if (argument == sizeof...(Args)) {
                format_fault::FewerArgumentsThanConversions();
            }
            if (conversion == L's' && !kIsWideText[argument]) {
                format_fault::ArgumentAtPercentSIsNotConstWcharPointer();
            }
            if (conversion == L'd' && !kIsInt[argument]) {
                format_fault::ArgumentAtPercentDIsNotInt();
            }
            ++argument;
        }
        if (argument != sizeof...(Args)) {
            format_fault::MoreArgumentsThanConversions();
        }
    }

    const wchar_t* get() const noexcept { return format_; }

private:
    const wchar_t* format_;
};

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
    // The format is a literal checked against the arguments as the program compiles (see
    // FormatString). E_FAIL when the output cannot be measured or written, E_OUTOFMEMORY
    // without a buffer.
    template <typename... Args>
    [[nodiscard]] HRESULT Format(FormatString<std::type_identity_t<Args>...> format, Args... args) noexcept
    {
        // msvcrt's own _scwprintf/_snwprintf: %s means a wide string there, unlike the C99
        // wide printf family that mingw substitutes for the standard names.
        const int length = _scwprintf(format.get(), args...);
        if (length < 0) {
            return E_FAIL;
        }
        HeapArray<wchar_t> formatted = AllocateArray<wchar_t>(static_cast<size_t>(length) + 1);
        if (!formatted) {
            return E_OUTOFMEMORY;
        }
        const int written = _snwprintf(formatted.get(), static_cast<size_t>(length) + 1, format.get(), args...);
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
