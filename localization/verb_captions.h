#pragma once

#include "common/wide_string.h"
#include "shellverbs/verbs.h"

namespace zorva {

// Assigns the verb's caption in the system's default UI language, asking the system afresh
// on every call. The string keeps its content if the tag matches no row of
// localization/languages.inc, or when memory runs out (E_OUTOFMEMORY).
[[nodiscard]] HRESULT VerbCaption(Verb verb, WideString& caption) noexcept;

}  // namespace zorva
