#pragma once

#include "shellverbs/verbs.h"

#include <cstddef>
#include <initializer_list>

namespace zorva {

// A fixed text with its length in UTF-16 code units, taken from the literal.
class FixedText {
public:
    template <size_t N>
    constexpr FixedText(const wchar_t (&text)[N]) noexcept : text_(text), length_(static_cast<int>(N - 1))
    {
    }

    constexpr const wchar_t* c_str() const noexcept { return text_; }
    constexpr int Length() const noexcept { return length_; }

private:
    const wchar_t* text_;
    int length_;
};

// One row of localization/languages.inc.
struct Language {
    FixedText tag;
    const wchar_t* languageCodes;  // blank-separated
    const wchar_t* countries;      // blank-separated; empty for every country
    FixedText captions[kVerbCount];

    constexpr const FixedText& Caption(Verb verb) const noexcept { return captions[IndexOf(verb)]; }
};

inline constexpr size_t kLanguageCount = std::initializer_list<int>{
#define ZORVA_LANGUAGE(...) 0,
#include "localization/languages.inc"
}.size();

// The rows, in their order. Defined in one object file only: each object file that holds the
// table holds its own copy of every text in it, and the linker merges only the table.
extern const Language kLanguages[kLanguageCount];

}  // namespace zorva
