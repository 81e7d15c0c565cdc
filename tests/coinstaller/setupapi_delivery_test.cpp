// The requests reach the library the way Windows delivers them: SetupAPI loads the DLL
// named in the device's CoInstallers32 value from System32 and calls the entry named there
// from SetupDiCallClassInstaller. (Wine's own default actions then run too, and mostly fail
// for lack of a driver, so their results are not what these tests look at.)

#include "test_device.h"
#include "support/plugin_trees.h"
#include "support/registry_guard.h"
#include "support/zorva_dll.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace zorva_test;

class CoInstallerThroughSetupApi : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        DeleteTree(HKEY_CLASSES_ROOT, kHardwareIdentityPath);
        DeleteTree(HKEY_CLASSES_ROOT, kDeviceTypePath);
        const std::string entry = GetParam();
        device_.RegisterCoInstaller(std::wstring(entry.begin(), entry.end()));
    }

    void Send(DI_FUNCTION code) { SetupDiCallClassInstaller(code, device_.Set(), device_.Data()); }

    RegistryGuard plugIns_{HKEY_CLASSES_ROOT, kPlugInsPath};
    DeviceRegistryGuard deviceRegistry_;
    TestDevice device_{true};
};

INSTANTIATE_TEST_SUITE_P(EntryPoints, CoInstallerThroughSetupApi, testing::Values("CoDeviceInstall", "RallyD"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_P(CoInstallerThroughSetupApi, InstallInterfacesWritesBothTrees)
{
    Send(DIF_INSTALLINTERFACES);

    EXPECT_EQ(DescribePlugInTrees(), DescribeRegisteredTrees(L"EN-US"));
}

TEST_P(CoInstallerThroughSetupApi, RemoveDeletesBothTrees)
{
    Send(DIF_INSTALLINTERFACES);
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kHardwareIdentityPath));
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kDeviceTypePath));

    Send(DIF_REMOVE);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kHardwareIdentityPath));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kDeviceTypePath));
}

TEST_P(CoInstallerThroughSetupApi, FinishInstallAsksForTheFinishInstallAction)
{
    SP_DEVINSTALL_PARAMS_W expected = device_.SetDistinctiveParams(0);
    expected.FlagsEx |= kDiFlagsExFinishInstallAction;

    Send(DIF_NEWDEVICEWIZARD_FINISHINSTALL);
    EXPECT_EQ(DescribeParams(device_.ReadParams()), DescribeParams(expected));
}

}  // namespace
