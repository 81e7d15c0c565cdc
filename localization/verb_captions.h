#pragma once

#include "common/wide_string.h"

namespace zorva {

// Assigns the five-character locale tag ("EN-US", "ZH-TW", ...) of the system's default UI
// language. Languages without captions of their own get "EN-US". Fails only for want of
// memory (E_OUTOFMEMORY), leaving `tag` as it was.
[[nodiscard]] HRESULT ResolveUiLocaleTag(WideString& tag) noexcept;

// Each assigns its verb's caption in the system's default UI language, asking the system
// afresh on every call. The string keeps its content if the tag matches no caption row, or
// when memory runs out (E_OUTOFMEMORY).
[[nodiscard]] HRESULT OpenVerbCaption(WideString& caption) noexcept;
[[nodiscard]] HRESULT MountVerbCaption(WideString& caption) noexcept;
[[nodiscard]] HRESULT DownloadVerbCaption(WideString& caption) noexcept;

}  // namespace zorva
