// The road of `make demo`, asserted end to end: the driver package installed through
// SetupAPI by the device installer, the plug-in trees its co-installer writes, the three
// verbs run from their registered command lines against the simulated appliance, the
// driver installed again in another UI language, and the devices removed: a second unit
// first, which leaves the trees to the unit that stays, then the last one.
//
// The four suites are four steps on one installed device; CTest runs them in that order as
// a fixture (see CMakeLists.txt), each in the UI language it names.

#include "console/owners.h"
#include "demo/appliance.h"
#include "demo/network_folder.h"
#include "support/files.h"
#include "prefix/plugin_trees.h"
#include "prefix/processes.h"
#include "prefix/registry.h"
#include "prefix/standins_control.h"
#include "prefix/zorva_dll.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#include <winnetwk.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace zorva_test {
namespace {

using zorva_demo::kHardwareId;
constexpr wchar_t kInstalledDll[] = L"C:\\windows\\system32\\" ZORVA_INSTALLED_NAME;

const std::wstring kPackageInf = WindowsPath(ZORVA_PACKAGE_INF);
// The signed release of the package: the signed library and the catalog beside the INF.
const std::wstring kSignedPackageInf = WindowsPath(ZORVA_SIGNED_PACKAGE_INF);

// The library as a package ships it, next to its INF.
std::wstring PackagedDll(const std::wstring& inf = kPackageInf)
{
    return inf.substr(0, inf.find_last_of(L'\\')) + L"\\" ZORVA_MODULE_NAME;
}

// Runs the device installer with `arguments`; what it printed, standard error included, is
// for failure messages.
CapturedRun RunInstaller(const std::wstring& arguments)
{
    return RunAndCapture(L"\"" + WindowsPath(ZORVA_DEVICE_INSTALLER) + L"\" " + arguments, StandardError::Captured);
}

std::wstring InstallArguments(const wchar_t* command, const wchar_t* hardwareId = kHardwareId,
                              const std::wstring& inf = kPackageInf)
{
    return std::wstring(command) + L" \"" + inf + L"\" " + hardwareId;
}

struct Device {
    std::wstring instanceId;
    std::vector<std::wstring> coInstallers;  // the driver key's CoInstallers32
};

std::vector<std::wstring> MultiString(const std::vector<wchar_t>& data)
{
    std::vector<std::wstring> strings;
    for (const wchar_t* item = data.data(); item < data.data() + data.size() && *item != L'\0';
         item += wcslen(item) + 1) {
        strings.emplace_back(item);
    }
    return strings;
}

std::vector<std::wstring> CoInstallersOf(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    const HKEY opened = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
    if (opened == INVALID_HANDLE_VALUE) {
        return {};
    }
    const zorva::UniqueHkey driverKey(opened);
    DWORD size = 0;
    if (RegGetValueW(driverKey.get(), nullptr, L"CoInstallers32", RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    RegGetValueW(driverKey.get(), nullptr, L"CoInstallers32", RRF_RT_REG_MULTI_SZ, nullptr, data.data(), &size);
    return MultiString(data);
}

// The system's devices that carry the appliance's hardware ID.
std::vector<Device> ApplianceDevices()
{
    const zorva::UniqueDevInfo set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (!set) {
        throw std::runtime_error("SetupDiGetClassDevsW failed");
    }
    std::vector<Device> devices;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
        std::vector<wchar_t> ids(1024, L'\0');
        if (!SetupDiGetDeviceRegistryPropertyW(set.get(), &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE*>(ids.data()),
                                               static_cast<DWORD>((ids.size() - 2) * sizeof(wchar_t)), nullptr)) {
            continue;
        }
        const std::vector<std::wstring> hardwareIds = MultiString(ids);
        if (std::none_of(hardwareIds.begin(), hardwareIds.end(), [](const std::wstring& id) {
                return CompareStringOrdinal(id.c_str(), -1, kHardwareId, -1, TRUE) == CSTR_EQUAL;
            })) {
            continue;
        }
        wchar_t instanceId[MAX_DEVICE_ID_LEN] = {};
        SetupDiGetDeviceInstanceIdW(set.get(), &device, instanceId, MAX_DEVICE_ID_LEN, nullptr);
        devices.push_back({instanceId, CoInstallersOf(set.get(), device)});
    }
    return devices;
}

// A package the device installer installs on a new device, in an English UI: the build's,
// in step 1, and the signed release's (catalog included, the way a release ships it), once
// the steps are done.
struct BuildPackage {
    static std::wstring Inf() { return kPackageInf; }
    static constexpr bool kSigned = false;
};
struct SignedPackage {
    static std::wstring Inf() { return kSignedPackageInf; }
    static constexpr bool kSigned = true;
};

struct PackageName {
    template <typename Package>
    static std::string GetName(int)
    {
        return Package::kSigned ? "Signed" : "Build";
    }
};

template <typename Package>
class PackageInstall : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // What an earlier, interrupted run may have left; the installation must show that it
        // is the package that puts the library into System32 and the co-installer that
        // writes the trees.
        if (!ApplianceDevices().empty()) {
            RunInstaller(std::wstring(L"remove ") + kHardwareId);
        }
        DeleteFileW(kInstalledDll);
        DeleteTree(HKEY_CLASSES_ROOT, kHardwareIdentityPath);
        DeleteTree(HKEY_CLASSES_ROOT, kDeviceTypePath);
        run_ = RunInstaller(InstallArguments(L"install", kHardwareId, Package::Inf()));
    }

    // The other tests load the build's own library from System32, where the suite's setup
    // put it: a failed or signed installation must not take it from them. The steps after
    // the build's installation use its device; the signed one comes after them all.
    static void TearDownTestSuite()
    {
        if (Package::kSigned) {
            RunInstaller(std::wstring(L"remove ") + kHardwareId);
        }
        CopyFileW(PackagedDll().c_str(), kInstalledDll, FALSE);
    }

    inline static CapturedRun run_;
};

using Packages = testing::Types<BuildPackage, SignedPackage>;
TYPED_TEST_SUITE(PackageInstall, Packages, PackageName);

TYPED_TEST(PackageInstall, InstallerReportsSuccess)
{
    EXPECT_EQ(this->run_.exitCode, 0u) << this->run_.output;
}

TYPED_TEST(PackageInstall, CopiesTheLibraryIntoSystem32UnderItsInstalledName)
{
    const std::vector<BYTE> installed = FileBytes(kInstalledDll);
    ASSERT_FALSE(installed.empty()) << "no " ZORVA_INSTALLED_NAME " in System32\n" << this->run_.output;
    EXPECT_TRUE(installed == FileBytes(PackagedDll(TypeParam::Inf())))
        << "System32 holds another file than the package's library";
}

TYPED_TEST(PackageInstall, RegistersTheLibraryAsTheCoInstallerOfOneNewDevice)
{
    const std::vector<Device> devices = ApplianceDevices();
    ASSERT_EQ(devices.size(), 1u) << this->run_.output;
    EXPECT_EQ(devices[0].coInstallers, std::vector<std::wstring>{ZORVA_INSTALLED_DLL L",CoDeviceInstall"});
}

TYPED_TEST(PackageInstall, WritesBothTreesWithEnglishCaptions)
{
    EXPECT_EQ(DescribePlugInTrees(), DescribeRegisteredTrees(L"EN-US")) << this->run_.output;
}

TYPED_TEST(PackageInstall, AddsASignedPackagesCatalogToTheSystemCatalogs)
{
    if (!TypeParam::kSigned) {
        GTEST_SKIP() << "the build's package is not signed: it has no catalog";
    }
    const std::wstring inf = TypeParam::Inf();
    const std::wstring folder = L"C:\\windows\\system32\\catroot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\";
    const std::vector<BYTE> catalog = FileBytes(inf.substr(0, inf.find_last_of(L'\\')) + L"\\zorva_kt2hx.cat");
    ASSERT_FALSE(catalog.empty());
    bool found = false;
    WIN32_FIND_DATAW entry;
    const zorva::UniqueFindHandle search(FindFirstFileW((folder + L"*.cat").c_str(), &entry));
    for (bool more = static_cast<bool>(search); more && !found; more = FindNextFileW(search.get(), &entry)) {
        found = FileBytes(folder + entry.cFileName) == catalog;
    }
    EXPECT_TRUE(found) << this->run_.output;
}

// Drops a drive connection that a test made, however the test ends.
class DriveConnection {
public:
    explicit DriveConnection(std::wstring drive) : drive_(std::move(drive)) {}
    ~DriveConnection() { WNetCancelConnection2W(drive_.c_str(), 0, TRUE); }
    DriveConnection(const DriveConnection&) = delete;
    DriveConnection& operator=(const DriveConnection&) = delete;

private:
    std::wstring drive_;
};

// Step 2: the verbs of the installed device, run the way the Network folder runs them.
class ApplianceVerbs : public testing::Test {
protected:
    void SetUp() override { zorva_demo::SetUpAppliance(); }

    // Runs the registered verb whose command line calls `entryPoint`.
    static void RunVerb(const wchar_t* entryPoint)
    {
        const std::vector<zorva_demo::Verb> verbs = zorva_demo::RegisteredVerbs(zorva_demo::kDeviceType);
        zorva_demo::RunVerb(zorva_demo::VerbRunning(verbs, entryPoint), zorva_demo::kDeviceArgument);
    }
};

TEST_F(ApplianceVerbs, OpenShowsTheApplianceNetworkRootInTheFileBrowser)
{
    RunVerb(L"ShellCommandOpen");
    const std::vector<Launch> launches = ReadLaunches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].argument, L"\\\\127.0.0.1");
}

TEST_F(ApplianceVerbs, MountMapsThePublicShareOntoADriveThatListsItsFiles)
{
    RunVerb(L"ShellCommandMount");
    const std::vector<ConnectionRequest> requests = ReadConnectionRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].remoteName, std::optional<std::wstring>(L"\\\\127.0.0.1\\Public")) << requests[0];
    ASSERT_TRUE(requests[0].drive) << "the share was connected to no drive: " << requests[0];
    const DriveConnection connection(*requests[0].drive);
    EXPECT_EQ(zorva_demo::ListFolder(*requests[0].drive + L"\\"), zorva_demo::ShareFileNames());
}

TEST_F(ApplianceVerbs, DownloadOpensTheMakersDownloadPageInTheBrowser)
{
    RunVerb(L"ShellCommandInstall");
    const std::vector<Launch> launches = ReadLaunches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].argument, L"http://download.zorva.example/?mod=download&device=zrv");
}

// Step 3: the driver installed again on the same device, now in a Japanese UI.
class DriverUpdateInJapanese : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        hardwareIdentityBefore_ = SnapshotTree(HKEY_CLASSES_ROOT, kHardwareIdentityPath);
        run_ = RunInstaller(InstallArguments(L"update"));
    }

    inline static CapturedRun run_;
    inline static RegTree hardwareIdentityBefore_;
};

TEST_F(DriverUpdateInJapanese, InstallerReportsSuccess)
{
    EXPECT_EQ(run_.exitCode, 0u) << run_.output;
}

TEST_F(DriverUpdateInJapanese, RewritesTheDeviceTypeTreeWithJapaneseCaptionsOnly)
{
    EXPECT_EQ(DescribeKey(kDeviceTypePath), DescribeTree(ExpectedDeviceTypeTree(CaptionRowFor(L"JA-JP"))))
        << run_.output;
}

TEST_F(DriverUpdateInJapanese, LeavesTheHardwareIdentityTreeAsItWas)
{
    EXPECT_EQ(DescribeKey(kHardwareIdentityPath), DescribeTree(hardwareIdentityBefore_));
}

// A device of the appliance's setup class that is no appliance: one of its hardware IDs
// differs from the appliance's in the revision alone, the other is the start of it.
class UnrelatedDevice {
public:
    UnrelatedDevice()
    {
        // The sample package's setup class.
        const GUID applianceClass = {0x3a00fe37, 0x7cff, 0x483a, {0x89, 0xeb, 0x06, 0xa6, 0x97, 0x41, 0xcd, 0xcc}};
        static const wchar_t ids[] = L"VEN_0F3D&DEV_0042&REV_02\0VEN_0F3D&DEV_0042\0";
        set_.reset(SetupDiCreateDeviceInfoList(&applianceClass, nullptr));
        device_.cbSize = sizeof(device_);
        if (!set_ ||
            !SetupDiCreateDeviceInfoW(set_.get(), L"ZorvaNetworkStorage", &applianceClass, nullptr, nullptr,
                                      DICD_GENERATE_ID, &device_) ||
            !SetupDiSetDeviceRegistryPropertyW(set_.get(), &device_, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(ids), sizeof(ids)) ||
            !SetupDiRegisterDeviceInfo(set_.get(), &device_, 0, nullptr, nullptr, nullptr)) {
            throw std::runtime_error("registering the unrelated device failed: " + std::to_string(GetLastError()));
        }
    }
    ~UnrelatedDevice() { SetupDiRemoveDevice(set_.get(), &device_); }
    UnrelatedDevice(const UnrelatedDevice&) = delete;
    UnrelatedDevice& operator=(const UnrelatedDevice&) = delete;

private:
    zorva::UniqueDevInfo set_;
    SP_DEVINFO_DATA device_ = {};
};

// Step 4, next to a device of the same class that is no appliance: a second unit installed
// (its hardware ID in lower case: PnP IDs ignore case; and, as PnP-X units list more than
// one, the generic ID that the other device carries too) and the first unit removed; the
// trees removed without a device element; the last unit removed, the second one.
class DeviceRemoval : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const UnrelatedDevice unrelated;
        const std::vector<Device> before = ApplianceDevices();
        runs_.push_back(RunInstaller(InstallArguments(L"install", L"ven_0f3d&dev_0042&rev_01 VEN_0F3D&DEV_0042")));
        treesWithTwoUnits_ = DescribePlugInTrees();
        runs_.push_back(RunInstaller(std::wstring(L"remove ") + kHardwareId + L" " +
                                     (before.empty() ? std::wstring() : before.front().instanceId)));
        treesWithOneUnit_ = DescribePlugInTrees();

        ZorvaDll().CoInstall(DIF_REMOVE);
        treesAfterRemovalWithoutElement_ = DescribePlugInTrees();
        ZorvaDll().CoInstall(DIF_INSTALLINTERFACES);
        treesBeforeLastRemoval_ = DescribePlugInTrees();
        runs_.push_back(RunInstaller(std::wstring(L"remove ") + kHardwareId));
    }

    static std::string Output()
    {
        std::string output;
        for (const CapturedRun& run : runs_) {
            output += run.output;
        }
        return output;
    }

    inline static std::vector<CapturedRun> runs_;
    inline static std::string treesWithTwoUnits_;
    inline static std::string treesWithOneUnit_;
    inline static std::string treesAfterRemovalWithoutElement_;
    inline static std::string treesBeforeLastRemoval_;
};

TEST_F(DeviceRemoval, InstallerReportsSuccess)
{
    ASSERT_EQ(runs_.size(), 3u);
    for (const CapturedRun& run : runs_) {
        EXPECT_EQ(run.exitCode, 0u) << run.output;
    }
}

TEST_F(DeviceRemoval, RemovingOneOfTwoUnitsKeepsBothTrees)
{
    EXPECT_EQ(treesWithTwoUnits_, DescribeRegisteredTrees(L"EN-US")) << Output();
    EXPECT_EQ(treesWithOneUnit_, treesWithTwoUnits_) << Output();
}

TEST_F(DeviceRemoval, RemovalWithoutADeviceElementDeletesBothTreesBesideAnInstalledUnit)
{
    EXPECT_EQ(treesAfterRemovalWithoutElement_, DescribeTree({}) + "\n" + DescribeTree({}));
}

TEST_F(DeviceRemoval, RemovingTheLastUnitDeletesBothTrees)
{
    ASSERT_EQ(treesBeforeLastRemoval_, DescribeRegisteredTrees(L"EN-US"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kHardwareIdentityPath)) << Output();
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kDeviceTypePath)) << Output();
}

TEST_F(DeviceRemoval, LeavesNoDeviceWithTheHardwareId)
{
    EXPECT_TRUE(ApplianceDevices().empty()) << Output();
}

}  // namespace
}  // namespace zorva_test
