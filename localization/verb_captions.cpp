#include "localization/verb_captions.h"

#include "localization/languages.h"
#include "localization/ui_language.h"

namespace zorva {

HRESULT VerbCaption(Verb verb, WideString& caption) noexcept
{
    WideString tag;
    const HRESULT resolved = ResolveUiLocaleTag(tag);
    if (FAILED(resolved)) {
        return resolved;
    }
    for (const Language& row : kLanguages) {
        if (tag.EqualsIgnoringAsciiCase(row.tag.c_str())) {
            const FixedText& text = row.Caption(verb);
            return caption.Assign(text.c_str(), text.Length());
        }
    }
    return S_OK;
}

}  // namespace zorva
