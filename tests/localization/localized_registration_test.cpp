// Each run of this program has its own system UI language (CTest sets LC_ALL; Wine derives
// GetSystemDefaultUILanguage from it), and checks that an interface installation writes the
// verb captions of exactly that language.

#include "common/unique_resource.h"
#include "support/plugin_trees.h"
#include "support/registry_guard.h"
#include "support/zorva_dll.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace zorva_test;

// The locales this program is run in, and the caption row each must select.
struct RunLocale {
    const wchar_t* locale;
    const wchar_t* tag;
};

constexpr RunLocale kRunLocales[] = {
    {L"en_US", L"EN-US"}, {L"fr_FR", L"FR-FR"}, {L"cs_CZ", L"CS-CZ"}, {L"de_DE", L"DE-DE"}, {L"es_ES", L"ES-ES"},
    {L"hu_HU", L"HU-HU"}, {L"it_IT", L"IT-IT"}, {L"ja_JP", L"JA-JP"}, {L"ko_KR", L"KO-KR"}, {L"nb_NO", L"NB-NO"},
    {L"nl_NL", L"NL-NL"}, {L"pl_PL", L"PL-PL"}, {L"pt_BR", L"PT-BR"}, {L"ru_RU", L"RU-RU"}, {L"sv_SE", L"SV-SE"},
    {L"tr_TR", L"TR-TR"}, {L"zh_CN", L"ZH-CN"}, {L"zh_TW", L"ZH-TW"},
};

// "fr_FR" from LC_ALL=fr_FR.UTF-8, which Wine passes on into the process's environment.
std::wstring LocaleOfThisRun()
{
    wchar_t value[64] = {};
    DWORD length = GetEnvironmentVariableW(L"LC_ALL", value, ARRAYSIZE(value));
    if (length == 0 || length >= ARRAYSIZE(value)) {
        return L"en_US";  // No LC_ALL: Wine's default is English (US).
    }
    std::wstring locale(value, length);
    return locale.substr(0, locale.find(L'.'));
}

const RunLocale* FindRunLocale(const std::wstring& locale)
{
    for (const RunLocale& run : kRunLocales) {
        if (locale == run.locale) {
            return &run;
        }
    }
    return nullptr;
}

class LocalizedRegistration : public testing::Test {
protected:
    RegistryGuard plugIns_{HKEY_CLASSES_ROOT, kPlugInsPath};
    ZorvaDll dll_;
};

TEST_F(LocalizedRegistration, InterfaceInstallWritesTheCaptionsOfTheSystemUiLanguage)
{
    const std::wstring locale = LocaleOfThisRun();
    const RunLocale* run = FindRunLocale(locale);
    ASSERT_NE(run, nullptr) << "no expected caption row for this run's LC_ALL";

    zorva::UniqueDevInfo set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    ASSERT_NE(set.get(), INVALID_HANDLE_VALUE);
    COINSTALLER_CONTEXT_DATA context = {};
    const DWORD result = dll_.Entry("CoDeviceInstall")(DIF_INSTALLINTERFACES, set.get(), nullptr, &context);

    EXPECT_EQ(result, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(DescribePlugInTrees(), DescribeRegisteredTrees(run->tag));
}

}  // namespace
