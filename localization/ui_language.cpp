#include "localization/ui_language.h"

#include <cwchar>

namespace zorva {
namespace {

// GetLocaleInfoW answers fit comfortably in this many code units.
constexpr int kQueryCapacity = 85;

// Replaces `code` with the system's answer; keeps it when the query fails.
[[nodiscard]] HRESULT QueryLocaleName(LCID locale, LCTYPE type, WideString& code) noexcept
{
    wchar_t buffer[kQueryCapacity] = {};
    if (GetLocaleInfoW(locale, type, buffer, kQueryCapacity) == 0) {
        return S_OK;
    }
    // A full buffer may lack its terminator; the last unit is never part of the name.
    buffer[kQueryCapacity - 1] = L'\0';
    return code.Assign(buffer);
}

// Whether `name` is, whole and with its case, one of the blank-separated words of `words`.
bool IsOneOf(const WideString& name, const wchar_t* words) noexcept
{
    const wchar_t* word = words;
    while (*word != L'\0') {
        int length = 0;
        while (word[length] != L'\0' && word[length] != L' ') {
            ++length;
        }
        if (length != 0 && length == name.Length() && std::wmemcmp(word, name.c_str(), length) == 0) {
            return true;
        }
        word += length;
        while (*word == L' ') {
            ++word;
        }
    }
    return false;
}

}  // namespace

HRESULT ResolveUiLocaleTag(WideString& tag) noexcept
{
    // With these constant texts the only failure left is want of memory.
    WideString country;
    WideString language;
    if (FAILED(country.Assign(L"US", 2)) || FAILED(language.Assign(L"en", 2))) {
        return E_OUTOFMEMORY;
    }
    // The system's language, not the user's: the registry data serve every user.
    const LCID locale = MAKELCID(GetSystemDefaultUILanguage(), SORT_DEFAULT);
    if (FAILED(QueryLocaleName(locale, LOCALE_SISO3166CTRYNAME, country)) ||
        FAILED(QueryLocaleName(locale, LOCALE_SISO639LANGNAME, language))) {
        return E_OUTOFMEMORY;
    }

    const FixedText* resolved = &kLanguages[0].tag;
    for (const Language& row : kLanguages) {
        if (IsOneOf(language, row.languageCodes) && (row.countries[0] == L'\0' || IsOneOf(country, row.countries))) {
            resolved = &row.tag;
            break;
        }
    }
    return tag.Assign(resolved->c_str(), resolved->Length());
}

}  // namespace zorva
