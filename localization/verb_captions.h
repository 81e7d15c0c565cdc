#pragma once

#include "common/wide_string.h"

namespace zorva {

// Assigns the five-character locale tag ("EN-US", "ZH-TW", ...) of the system's default UI
// language. Languages without captions of their own get "EN-US".
void ResolveUiLocaleTag(WideString& tag);

// Each assigns its verb's caption in the system's default UI language, asking the system
// afresh on every call. The string keeps its content if the tag matches no caption row.
void OpenVerbCaption(WideString& caption);
void MountVerbCaption(WideString& caption);
void DownloadVerbCaption(WideString& caption);

}  // namespace zorva
