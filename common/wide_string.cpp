#include "common/wide_string.h"

#include "common/hresult_error.h"

#include <climits>
#include <cstdarg>
#include <cwchar>
#include <new>

namespace zorva {
namespace {

wchar_t FoldAscii(wchar_t c) noexcept
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

void WideString::Assign(const wchar_t* text, int length)
{
    if (length < 0 || (text == nullptr && length != 0)) {
        throw HResultError(E_INVALIDARG);
    }
    try {
        text_.assign(text == nullptr ? L"" : text, static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        throw HResultError(E_OUTOFMEMORY);
    }
}

void WideString::Assign(const wchar_t* text)
{
    if (text == nullptr) {
        throw HResultError(E_INVALIDARG);
    }
    Assign(text, static_cast<int>(wcsnlen(text, INT_MAX)));
}

void WideString::Format(const wchar_t* format, ...)
{
    if (format == nullptr) {
        throw HResultError(E_INVALIDARG);
    }
    // msvcrt's own _vscwprintf/_vsnwprintf: %s means a wide string there, unlike the
    // C99 wide printf family that mingw substitutes for the standard names.
    va_list args;
    va_start(args, format);
    const int length = _vscwprintf(format, args);
    va_end(args);
    if (length < 0) {
        throw HResultError(E_FAIL);
    }
    std::wstring formatted;
    try {
        formatted.resize(static_cast<size_t>(length) + 1);
    } catch (const std::bad_alloc&) {
        throw HResultError(E_OUTOFMEMORY);
    }
    va_start(args, format);
    const int written = _vsnwprintf(&formatted[0], formatted.size(), format, args);
    va_end(args);
    if (written != length) {
        throw HResultError(E_FAIL);
    }
    formatted.resize(static_cast<size_t>(length));
    text_.swap(formatted);
}

bool WideString::EqualsIgnoringAsciiCase(const wchar_t* other) const noexcept
{
    if (other == nullptr) {
        return false;
    }
    size_t i = 0;
    for (; i < text_.size(); ++i) {
        if (other[i] == L'\0' || FoldAscii(text_[i]) != FoldAscii(other[i])) {
            return false;
        }
    }
    return other[i] == L'\0';
}

}  // namespace zorva
