// Each run of this program has its own system UI language (CTest sets LC_ALL; Wine derives
// GetSystemDefaultUILanguage from it), and checks that an interface installation writes the
// verb captions of exactly that language.

#include "console/owners.h"
#include "prefix/plugin_trees.h"
#include "support/registry_guard.h"
#include "prefix/zorva_dll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using namespace zorva_test;

// The caption row this run must select: the row whose test locale is LC_ALL's (fr_FR from
// LC_ALL=fr_FR.UTF-8, which Wine passes on into the process's environment).
std::wstring TagOfThisRun()
{
    char value[64] = {};
    const DWORD length = GetEnvironmentVariableA("LC_ALL", value, ARRAYSIZE(value));
    // No LC_ALL: Wine's default is English (US).
    std::string locale = length == 0 || length >= ARRAYSIZE(value) ? "en_US" : std::string(value, length);
    locale.resize(std::min(locale.find('.'), locale.size()));
    for (const CaptionRow& row : kCaptionRows) {
        if (locale == row.testLocale) {
            return row.tag;
        }
    }
    return L"no row for " + std::wstring(locale.begin(), locale.end());
}

class LocalizedRegistration : public testing::Test {
protected:
    RegistryGuard plugIns_{HKEY_CLASSES_ROOT, kPlugInsPath};
    ZorvaDll dll_;
};

TEST_F(LocalizedRegistration, InterfaceInstallWritesTheCaptionsOfTheSystemUiLanguage)
{
    zorva::UniqueDevInfo set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    ASSERT_NE(set.get(), INVALID_HANDLE_VALUE);

    EXPECT_EQ(dll_.CoInstall(DIF_INSTALLINTERFACES, set.get()), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(DescribePlugInTrees(), DescribeRegisteredTrees(TagOfThisRun()));
}

}  // namespace
