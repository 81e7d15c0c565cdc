// How the DLL reduces the system UI language to one row of captions. The DLL's own import
// slots for GetSystemDefaultUILanguage and GetLocaleInfoW are redirected, so one process
// can play any language: Wine's real GetLocaleInfoW answers for that language unless a
// case scripts the answer (a failing query, an empty or unusual name). The row chosen is
// read back from what an interface installation writes under the device-type key.

#include "console/owners.h"
#include "support/case_name.h"
#include "prefix/plugin_trees.h"
#include "support/recorder.h"
#include "support/registry_guard.h"
#include "prefix/zorva_dll.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

using namespace zorva_test;

// What the redirected GetLocaleInfoW says for one of the two ISO names.
struct Answer {
    enum Kind { Real, Fails, Text } kind;
    const wchar_t* text;
};
constexpr Answer kReal{Answer::Real, nullptr};
constexpr Answer kFails{Answer::Fails, nullptr};
constexpr Answer Says(const wchar_t* text)
{
    return Answer{Answer::Text, text};
}

Answer g_country = kReal;
Answer g_language = kReal;

int WINAPI ScriptedGetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int size)
{
    const LCTYPE plain = type & ~(LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP);
    const Answer* answer = plain == LOCALE_SISO3166CTRYNAME  ? &g_country
                           : plain == LOCALE_SISO639LANGNAME ? &g_language
                                                             : nullptr;
    if (answer == nullptr || answer->kind == Answer::Real) {
        return PlatformRecorder::Real<&::GetLocaleInfoW>()(locale, type, data, size);
    }
    if (answer->kind == Answer::Fails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // As the real call: the text and its terminator, counted in code units.
    const int needed = static_cast<int>(std::wcslen(answer->text)) + 1;
    if (size == 0) {
        return needed;
    }
    if (data == nullptr || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wmemcpy(data, answer->text, static_cast<size_t>(needed));
    return needed;
}

struct ResolutionCase {
    const char* name;
    LANGID uiLanguage;
    Answer country;
    Answer language;
    const wchar_t* expectedTag;
};

const ResolutionCase kCases[] = {
    // Chinese goes by country: Traditional for Taiwan, Hong Kong and Macao.
    {"zh_TW", 0x0404, kReal, kReal, L"ZH-TW"},
    {"zh_HK", 0x0C04, kReal, kReal, L"ZH-TW"},
    {"zh_MO", 0x1404, kReal, kReal, L"ZH-TW"},
    {"zh_CN", 0x0804, kReal, kReal, L"ZH-CN"},
    {"zh_SG", 0x1004, kReal, kReal, L"ZH-CN"},
    // Every other language ignores the country.
    {"nb_NO", 0x0414, kReal, kReal, L"NB-NO"},
    {"nn_NO", 0x0814, kReal, kReal, L"NB-NO"},
    {"pt_PT", 0x0816, kReal, kReal, L"PT-BR"},
    {"es_MX", 0x080A, kReal, kReal, L"ES-ES"},
    {"fr_CA", 0x0C0C, kReal, kReal, L"FR-FR"},
    {"de_AT", 0x0C07, kReal, kReal, L"DE-DE"},
    // Languages without captions of their own, and English elsewhere than the US.
    {"en_GB", 0x0809, kReal, kReal, L"EN-US"},
    {"el_GR", 0x0408, kReal, kReal, L"EN-US"},
    {"ar_SA", 0x0401, kReal, kReal, L"EN-US"},
    {"fil_PH_ThreeLetterName", 0x0464, kReal, kReal, L"EN-US"},
    // The macrolanguage code of Norwegian, which some systems report.
    {"LanguageNo", 0x040C, kReal, Says(L"no"), L"NB-NO"},
    // A country that cannot be asked for keeps "US": Simplified Chinese even in Taiwan.
    {"ChineseCountryQueryFails", 0x0404, kFails, kReal, L"ZH-CN"},
    {"ChineseCountryLowerCase", 0x0404, Says(L"tw"), kReal, L"ZH-CN"},
    // Language names match only as the whole, lower-case, two-letter code.
    {"LanguageQueryFails", 0x040C, kReal, kFails, L"EN-US"},
    {"BothQueriesFail", 0x040C, kFails, kFails, L"EN-US"},
    {"LanguageNameEmpty", 0x040C, kReal, Says(L""), L"EN-US"},
    {"LanguageNameUpperCase", 0x040C, kReal, Says(L"FR"), L"EN-US"},
    {"LanguageNameThreeLetters", 0x0407, kReal, Says(L"deu"), L"EN-US"},
    {"LanguageNameWithRegion", 0x0407, kReal, Says(L"de-AT"), L"EN-US"},
};

class LocaleResolution : public testing::TestWithParam<ResolutionCase> {
protected:
    void SetUp() override
    {
        g_country = GetParam().country;
        g_language = GetParam().language;
    }

    RegistryGuard plugIns_{HKEY_CLASSES_ROOT, kPlugInsPath};
    ZorvaDll dll_;
};

TEST_P(LocaleResolution, InterfaceInstallWritesTheCaptionsOfTheResolvedRow)
{
    PlatformRecorder recorder(dll_.Module());
    PlaySystemUiLanguage(recorder, GetParam().uiLanguage);
    recorder.Replace<&::GetLocaleInfoW>(&ScriptedGetLocaleInfoW);

    zorva::UniqueDevInfo set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    EXPECT_EQ(dll_.CoInstall(DIF_INSTALLINTERFACES, set.get()), static_cast<DWORD>(NO_ERROR));

    EXPECT_EQ(DescribeKey(kDeviceTypePath), DescribeTree(ExpectedDeviceTypeTree(CaptionRowFor(GetParam().expectedTag))));
}

INSTANTIATE_TEST_SUITE_P(UiLanguages, LocaleResolution, testing::ValuesIn(kCases),
                         zorva_test::CaseName());

}  // namespace
