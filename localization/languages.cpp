#include "localization/languages.h"

namespace zorva {

constexpr Language kLanguages[kLanguageCount] = {
#define ZORVA_LANGUAGE(tag, codes, countries, testLocale, ...) {tag, codes, countries, {__VA_ARGS__}},
#include "localization/languages.inc"
};

// What a row must be for the code that reads it; a row that is not fails the build.
namespace {

constexpr wchar_t FoldAscii(wchar_t c)
{
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

constexpr bool EqualIgnoringAsciiCase(const FixedText& a, const FixedText& b)
{
    if (a.Length() != b.Length()) {
        return false;
    }
    for (int i = 0; i < a.Length(); ++i) {
        if (FoldAscii(a.c_str()[i]) != FoldAscii(b.c_str()[i])) {
            return false;
        }
    }
    return true;
}

constexpr bool IsCapital(wchar_t c)
{
    return c >= L'A' && c <= L'Z';
}

// Five units, "AA-AA": the locale tag's fixed form.
constexpr bool IsTag(const FixedText& tag)
{
    const wchar_t* t = tag.c_str();
    return tag.Length() == 5 && IsCapital(t[0]) && IsCapital(t[1]) && t[2] == L'-' && IsCapital(t[3]) &&
           IsCapital(t[4]);
}

// A caption names a registry key: not empty, no backslash, no blank at either end, and one
// code unit a character (no combining mark, no surrogate).
constexpr bool IsCaption(const FixedText& caption)
{
    const wchar_t* c = caption.c_str();
    const int length = caption.Length();
    if (length == 0 || c[0] == L' ' || c[length - 1] == L' ') {
        return false;
    }
    for (int i = 0; i < length; ++i) {
        const bool combining = c[i] >= 0x0300 && c[i] <= 0x036F;
        const bool surrogate = c[i] >= 0xD800 && c[i] <= 0xDFFF;
        if (c[i] == L'\\' || c[i] == L'\0' || combining || surrogate) {
            return false;
        }
    }
    return true;
}

constexpr bool RowsAreSound()
{
    for (size_t row = 0; row < kLanguageCount; ++row) {
        const Language& language = kLanguages[row];
        if (!IsTag(language.tag) || language.languageCodes[0] == L'\0') {
            return false;
        }
        for (size_t other = 0; other < row; ++other) {
            if (EqualIgnoringAsciiCase(kLanguages[other].tag, language.tag)) {
                return false;
            }
        }
        // The captions of a row are sibling key names, which the registry compares
        // without regard to case.
        for (size_t verb = 0; verb < kVerbCount; ++verb) {
            if (!IsCaption(language.captions[verb])) {
                return false;
            }
            for (size_t other = 0; other < verb; ++other) {
                if (EqualIgnoringAsciiCase(language.captions[other], language.captions[verb])) {
                    return false;
                }
            }
        }
    }
    return true;
}

static_assert(RowsAreSound(),
              "localization/languages.inc: a tag is not AA-AA or repeats, a row has no language code, or a "
              "caption is empty, has a blank at an end, a backslash or a combining mark, or repeats in its row");

}  // namespace

}  // namespace zorva
