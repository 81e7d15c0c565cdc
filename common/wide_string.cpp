#include "common/wide_string.h"

#include <climits>
#include <cwchar>
#include <utility>

namespace zorva {
namespace {

wchar_t FoldAscii(wchar_t c) noexcept
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

HRESULT WideString::Assign(const wchar_t* text, int length) noexcept
{
    if (length < 0 || (text == nullptr && length != 0)) {
        return E_INVALIDARG;
    }
    HeapArray<wchar_t> copy = AllocateArray<wchar_t>(static_cast<size_t>(length) + 1);
    if (!copy) {
        return E_OUTOFMEMORY;
    }
    std::wmemcpy(copy.get(), text == nullptr ? L"" : text, static_cast<size_t>(length));
    copy[length] = L'\0';
    text_ = std::move(copy);
    length_ = length;
    return S_OK;
}

HRESULT WideString::Assign(const wchar_t* text) noexcept
{
    if (text == nullptr) {
        return E_INVALIDARG;
    }
    return Assign(text, static_cast<int>(wcsnlen(text, INT_MAX)));
}

bool WideString::EqualsIgnoringAsciiCase(const wchar_t* other) const noexcept
{
    if (other == nullptr) {
        return false;
    }
    const wchar_t* text = c_str();
    int i = 0;
    for (; i < length_; ++i) {
        if (other[i] == L'\0' || FoldAscii(text[i]) != FoldAscii(other[i])) {
            return false;
        }
    }
    return other[i] == L'\0';
}

bool operator==(const WideString& a, const wchar_t* b) noexcept
{
    return b != nullptr && static_cast<size_t>(a.length_) == std::wcslen(b) &&
           std::wmemcmp(a.c_str(), b, static_cast<size_t>(a.length_)) == 0;
}

}  // namespace zorva
