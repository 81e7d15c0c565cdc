// Each run of this program has its own system UI language (CTest sets LC_ALL; Wine derives
// GetSystemDefaultUILanguage from it), and checks that an interface installation writes the
// verb captions of exactly that language.

#include "support/owners.h"
#include "support/plugin_trees.h"
#include "support/registry_guard.h"
#include "support/zorva_dll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>

namespace {

using namespace zorva_test;

// The caption row this run must select: "FR-FR" from LC_ALL=fr_FR.UTF-8, which Wine passes
// on into the process's environment. Every locale the program runs in has a row of its own
// by that name; CaptionRowFor refuses any other.
std::wstring TagOfThisRun()
{
    wchar_t value[64] = {};
    const DWORD length = GetEnvironmentVariableW(L"LC_ALL", value, ARRAYSIZE(value));
    // No LC_ALL: Wine's default is English (US).
    std::wstring tag = length == 0 || length >= ARRAYSIZE(value) ? L"en_US" : std::wstring(value, length);
    tag.resize(std::min(tag.find(L'.'), tag.size()));
    std::transform(tag.begin(), tag.end(), tag.begin(),
                   [](wchar_t c) { return c == L'_' ? L'-' : static_cast<wchar_t>(towupper(c)); });
    return tag;
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
