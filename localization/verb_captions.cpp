#include "localization/verb_captions.h"

#include <iterator>

namespace zorva {
namespace {

struct Caption {
    const wchar_t* text;
    int length;
};

struct CaptionRow {
    const wchar_t* tag;
    Caption open;
    Caption mount;
    Caption download;
};

// One row per locale tag. Lengths are UTF-16 code units; every character is a single unit.
const CaptionRow kCaptionRows[] = {
    {L"EN-US", {L"Open", 4}, {L"Mount public share", 18}, {L"Download Software", 17}},
    {L"FR-FR", {L"Ouvrir", 6}, {L"Monte le partage public", 23}, {L"T\u00e9l\u00e9charger le logiciel", 23}},
    {L"CS-CZ",
     {L"Otev\u0159\u00edt", 7},
     {L"P\u0159ipojit slo\u017eku pro ve\u0159ejn\u00e9 sd\u00edlen\u00ed", 35},
     {L"St\u00e1hnout Software", 17}},
    {L"DE-DE",
     {L"\u00d6ffnen", 6},
     {L"\u00d6ffentliche Freigabe einf\u00fcgen", 29},
     {L"Software downloaden", 19}},
    {L"ES-ES", {L"Abrir", 5}, {L"Montar recursos compartidos", 27}, {L"Descargar Software", 18}},
    {L"HU-HU",
     {L"Megnyit\u00e1s", 9},
     {L"Nyilv\u00e1nos megoszt\u00e1s csatlakoztat\u00e1sa", 35},
     {L"Szoftver Let\u00f6lt\u00e9s", 17}},
    {L"IT-IT", {L"Apri", 4}, {L"Monta condivisione pubblica", 27}, {L"Scaricare software", 18}},
    {L"JA-JP",
     {L"\u958b\u304f", 2},
     {L"\u300cpublic\u300d\u5171\u6709\u3092\u30de\u30a6\u30f3\u30c8\u3057\u307e\u3059", 18},
     {L"\u30bd\u30d5\u30c8\u30a6\u30a7\u30a2\u306e\u30c0\u30a6\u30f3\u30ed\u30fc\u30c9", 13}},
    {L"KO-KR",
     {L"\uc5f4\uae30", 2},
     {L"\uacf5\uc6a9 \uacf5\uc720 \ub9c8\uc6b4\ud2b8", 9},
     {L"\uc18c\ud504\ud2b8\uc6e8\uc5b4 \ub2e4\uc6b4\ub85c\ub4dc", 10}},
    {L"NB-NO",
     {L"\u00c5pne", 4},
     {L"Koble til den offentlige delingsmappen", 38},
     {L"Last ned programvare", 20}},
    {L"NL-NL", {L"Openen", 6}, {L"Openbare share laden", 20}, {L"Software downloaden", 19}},
    {L"PL-PL",
     {L"Otw\u00f3rz", 6},
     {L"Pod\u0142\u0105cz udzia\u0142 publiczny", 24},
     {L"Pobierz oprogramowanie", 22}},
    {L"PT-BR", {L"Abrir", 5}, {L"Montar compartilhamento p\u00fablico", 31}, {L"Software para download", 22}},
    {L"RU-RU",
     {L"\u041e\u0442\u043a\u0440\u044b\u0442\u044c", 7},
     {L"\u041f\u043e\u0434\u043a\u043b\u044e\u0447\u0438\u0442\u044c \u043e\u0431\u0449\u0443\u044e "
      L"\u043f\u0430\u043f\u043a\u0443",
      22},
     {L"\u0421\u043a\u0430\u0447\u0430\u0442\u044c \u043f\u0440\u043e\u0433\u0440\u0430\u043c\u043c\u043d"
      L"\u043e\u0435 \u043e\u0431\u0435\u0441\u043f\u0435\u0447\u0435\u043d\u0438\u0435",
      31}},
    {L"SV-SE", {L"\u00d6ppna", 5}, {L"Montera delad resurs", 20}, {L"H\u00e4mta programvare", 17}},
    {L"TR-TR", {L"A\u00e7", 2}, {L"Genel payla\u015f\u0131m olu\u015ftur", 22}, {L"Yazilim indir", 13}},
    {L"ZH-CN",
     {L"\u6253\u5f00", 2},
     {L"\u52a0\u8f7d\u516c\u7528\u5171\u4eab", 6},
     {L"\u4e0b\u8f7d\u8f6f\u4ef6", 4}},
    {L"ZH-TW",
     {L"\u958b\u555f", 2},
     {L"\u639b\u63a5\u516c\u7528\u5171\u7528", 6},
     {L"\u4e0b\u8f09\u8edf\u9ad4", 4}},
};

struct LanguageTag {
    const wchar_t* language;
    const wchar_t* tag;
};

// Checked in this order; Chinese is decided by country below.
const LanguageTag kLanguageTags[] = {
    {L"cs", L"CS-CZ"}, {L"hu", L"HU-HU"}, {L"ja", L"JA-JP"}, {L"ko", L"KO-KR"}, {L"pl", L"PL-PL"},
    {L"ru", L"RU-RU"}, {L"tr", L"TR-TR"}, {L"de", L"DE-DE"}, {L"es", L"ES-ES"}, {L"fr", L"FR-FR"},
    {L"it", L"IT-IT"}, {L"no", L"NB-NO"}, {L"nb", L"NB-NO"}, {L"nn", L"NB-NO"}, {L"nl", L"NL-NL"},
    {L"pt", L"PT-BR"}, {L"sv", L"SV-SE"},
};

// GetLocaleInfoW answers fit comfortably in this many code units.
constexpr int kQueryCapacity = 85;

// Replaces `code` with the system's answer; keeps it when the query fails.
HRESULT QueryLocaleName(LCID locale, LCTYPE type, WideString& code) noexcept
{
    wchar_t buffer[kQueryCapacity] = {};
    if (GetLocaleInfoW(locale, type, buffer, kQueryCapacity) == 0) {
        return S_OK;
    }
    // A full buffer may lack its terminator; the last unit is never part of the name.
    buffer[kQueryCapacity - 1] = L'\0';
    return code.Assign(buffer);
}

template <typename Select>
HRESULT AssignCaption(WideString& caption, Select select) noexcept
{
    WideString tag;
    const HRESULT resolved = ResolveUiLocaleTag(tag);
    if (FAILED(resolved)) {
        return resolved;
    }
    for (const CaptionRow& row : kCaptionRows) {
        if (tag.EqualsIgnoringAsciiCase(row.tag)) {
            const Caption& text = select(row);
            return caption.Assign(text.text, text.length);
        }
    }
    return S_OK;
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

    const wchar_t* resolved = L"EN-US";
    if (language == L"zh") {
        const bool traditional = country == L"TW" || country == L"HK" || country == L"MO";
        resolved = traditional ? L"ZH-TW" : L"ZH-CN";
    } else {
        for (const LanguageTag& entry : kLanguageTags) {
            if (language == entry.language) {
                resolved = entry.tag;
                break;
            }
        }
    }
    return tag.Assign(resolved, 5);
}

HRESULT OpenVerbCaption(WideString& caption) noexcept
{
    return AssignCaption(caption, [](const CaptionRow& row) -> const Caption& { return row.open; });
}

HRESULT MountVerbCaption(WideString& caption) noexcept
{
    return AssignCaption(caption, [](const CaptionRow& row) -> const Caption& { return row.mount; });
}

HRESULT DownloadVerbCaption(WideString& caption) noexcept
{
    return AssignCaption(caption, [](const CaptionRow& row) -> const Caption& { return row.download; });
}

}  // namespace zorva
