#pragma once

#include "common/wide_string.h"
#include "localization/languages.h"

namespace zorva {

// Assigns the locale tag ("EN-US", "ZH-TW", ...) of the row of localization/languages.inc
// that the system's default UI language selects; a language without a row gets the first
// row's. Asks the system afresh on every call. Fails only for want of memory
// (E_OUTOFMEMORY), leaving `tag` as it was.
[[nodiscard]] HRESULT ResolveUiLocaleTag(WideString& tag) noexcept;

}  // namespace zorva
