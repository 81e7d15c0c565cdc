// The co-installer's requests, called directly through the DLL's exports the way SetupAPI
// calls a co-installer. Every test runs for both exports and for both kinds of call (a
// first call and a post-processing call), which must all behave alike. The last few come
// through SetupAPI instead.

#include "test_device.h"
#include "support/case_name.h"
#include "prefix/plugin_trees.h"
#include "support/recorder.h"
#include "support/registry_guard.h"
#include "prefix/standins_control.h"
#include "prefix/zorva_dll.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>

namespace {

using namespace zorva_test;

enum class CallKind { First, PostProcessing };

struct EntryCase {
    const char* name;
    const char* entry;
    CallKind kind;
};

const EntryCase kEntryCases[] = {
    {"CoDeviceInstall", "CoDeviceInstall", CallKind::First},
    {"CoDeviceInstall_PostProcessing", "CoDeviceInstall", CallKind::PostProcessing},
    {"RallyD", "RallyD", CallKind::First},
    {"RallyD_PostProcessing", "RallyD", CallKind::PostProcessing},
};

const std::wstring kOmpCommandPath = kHardwareIdentityPath + L"\\shell\\Open Media Player\\command";

BOOL WINAPI FailingGetParams(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W)
{
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
}

LSTATUS WINAPI RefusedQuery(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD)
{
    return ERROR_ACCESS_DENIED;
}

// The calls a request made, but for the delay-loading of SetupAPI.
std::vector<std::string> CallsBeyondLoading(const PlatformRecorder& recorder)
{
    std::vector<std::string> calls;
    for (const PlatformCall& call : recorder.Calls()) {
        if (call.function != "LoadLibraryA") {
            calls.push_back(call.Text());
        }
    }
    return calls;
}

class CoInstallerRequests : public testing::TestWithParam<EntryCase> {
protected:
    void SetUp() override
    {
        DeleteTree(HKEY_CLASSES_ROOT, kHardwareIdentityPath);
        DeleteTree(HKEY_CLASSES_ROOT, kDeviceTypePath);
    }

    // The request as SetupAPI makes it, for the test device element.
    DWORD Request(DI_FUNCTION code) { return Request(code, device_.Set(), device_.Data()); }

    DWORD Request(DI_FUNCTION code, HDEVINFO set, SP_DEVINFO_DATA* data)
    {
        COINSTALLER_CONTEXT_DATA context = {};
        if (GetParam().kind == CallKind::PostProcessing) {
            // What SetupAPI passes after the class installer has run, had the co-installer
            // asked for it: the installer's result and the co-installer's own data.
            context.PostProcessing = TRUE;
            context.InstallResult = ERROR_DI_DO_DEFAULT;
            context.PrivateData = &privateData_;
        }
        return dll_.Entry(GetParam().entry)(code, set, data, &context);
    }

    void InstallInterfaces() { ASSERT_EQ(Request(DIF_INSTALLINTERFACES), static_cast<DWORD>(NO_ERROR)); }

    // Keys and values nobody registered, at every depth of both trees: a verb key of another
    // language among them.
    void AddForeignContent()
    {
        SetString(HKEY_CLASSES_ROOT, kHardwareIdentityPath, L"Stale", L"x");
        CreateKey(HKEY_CLASSES_ROOT, kHardwareIdentityPath + L"\\Foreign");
        SetString(HKEY_CLASSES_ROOT, kHardwareIdentityPath + L"\\DefaultIcon", L"Extra", L"x");
        SetString(HKEY_CLASSES_ROOT, kHardwareIdentityPath + L"\\shell", nullptr, L"Open Media Player");
        SetString(HKEY_CLASSES_ROOT, kOmpCommandPath + L"\\Deeper\\Deepest", L"Value", L"x");
        SetString(HKEY_CLASSES_ROOT, kDeviceTypePath + L"\\shell\\Ouvrir\\command", nullptr,
                  kExpectedVerbs[0].Command());
        CreateKey(HKEY_CLASSES_ROOT, kDeviceTypePath + L"\\DefaultIcon\\Child");
        SetString(HKEY_CLASSES_ROOT, kDeviceTypePath + L"\\shell\\Open", L"Stale", L"x");
        SetString(HKEY_CLASSES_ROOT, kDeviceTypePath + L"\\shell\\Open\\command\\x\\y\\z", nullptr, L"x");
    }

    RegistryGuard plugIns_{HKEY_CLASSES_ROOT, kPlugInsPath};
    DeviceRegistryGuard deviceRegistry_;
    ZorvaDll dll_;
    TestDevice device_{false};
    int privateData_ = 0;
};

INSTANTIATE_TEST_SUITE_P(EntryPoints, CoInstallerRequests, testing::ValuesIn(kEntryCases),
                         zorva_test::CaseName());

// --- DIF_INSTALLINTERFACES ------------------------------------------------------------

TEST_P(CoInstallerRequests, InstallInterfacesWritesBothTreesExactly)
{
    EXPECT_EQ(Request(DIF_INSTALLINTERFACES), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(DescribePlugInTrees(), DescribeRegisteredTrees(L"EN-US"));
}

// Every write as designed: each key created with no class, options 0 and KEY_SET_VALUE
// alone, each value REG_SZ with its terminator counted, in the designed order; and every
// key closed again. The registration asks for the system language once per caption.
TEST_P(CoInstallerRequests, InstallMakesExactlyTheDesignedPlatformCalls)
{
    PlatformRecorder recorder(dll_.Module());
    InstallInterfaces();

    const std::string hardwareIdentity = R"("NetworkExplorerPlugins\VEN_0F3D&DEV_0042&REV_01)";
    const std::string deviceType = R"("NetworkExplorerPlugins\urn:zorva-example:device:NetworkAttachedStorage:KT2HX)";
    const auto create = [](const std::string& parent, const std::string& path) {
        return "RegCreateKeyExW(" + parent + ", " + path + "\", 0x0, null, 0x0, 0x2, null, &key, null, -> #) = 0";
    };
    // Each REG_SZ counted with its terminator; every text here is ASCII, one unit a character.
    const auto set = [](const char* name, const std::string& data) {
        char bytes[16];
        std::snprintf(bytes, sizeof(bytes), "0x%zx", (data.size() + 1) * sizeof(wchar_t));
        return std::string("RegSetKeyValueW(#, null, ") + name + ", 0x1, \"" + data + R"("+\0, )" + bytes + ") = 0";
    };
    const std::string shell = R"(\shell\)";
    const CaptionRow& captions = CaptionRowFor(L"EN-US");
    const std::string defaultCaption = Narrow(captions.Caption(kExpectedVerbs[0].verb));
    std::vector<std::string> writes = {
        create("HKCR", hardwareIdentity), create("#", "\"DefaultIcon"),
        set("null", Narrow(kHardwareIdentityIcon)),
        create("HKCR", hardwareIdentity + R"(\shell)"), create("#", "\"Open Media Player"),
        set("\"MUIVerb\"", R"(@%SystemRoot%\System32\wmploc.dll,-29301)"),
        create("HKCR", hardwareIdentity + shell + R"(Open Media Player\command)"),
        set("null", R"(C:\Program Files\Windows Media Player\wmplayer.exe)"),
        create("HKCR", deviceType), create("#", "\"DefaultIcon"),
        set("null", Narrow(kDeviceTypeIcon)),
        create("HKCR", deviceType), create("#", "\"shell"), set("null", defaultCaption),
    };
    for (const ExpectedVerb& verb : kExpectedVerbs) {
        writes.push_back(create("HKCR", deviceType + shell + Narrow(captions.Caption(verb.verb)) + R"(\command)"));
        writes.push_back(set("null", Narrow(verb.Command())));
    }
    EXPECT_EQ(testing::PrintToString(recorder.Texts({"RegCreateKeyExW", "RegSetKeyValueW"})),
              testing::PrintToString(writes));
    EXPECT_EQ(testing::PrintToString(recorder.Outstanding()), "{}");

    std::vector<std::string> languageQueries;
    for (size_t caption = 0; caption < std::size(kExpectedVerbs); ++caption) {
        languageQueries.insert(languageQueries.end(), {"GetSystemDefaultUILanguage() = 0x409",
                                                       "GetLocaleInfoW(0x409, 0x5a, #, 85) = 3",
                                                       "GetLocaleInfoW(0x409, 0x59, #, 85) = 3"});
    }
    EXPECT_EQ(testing::PrintToString(recorder.Texts({"GetSystemDefaultUILanguage", "GetLocaleInfoW"})),
              testing::PrintToString(languageQueries));
}

TEST_P(CoInstallerRequests, ReinstallAfterALanguageChangeLeavesOnlyTheNewCaptions)
{
    {
        PlatformRecorder german(dll_.Module());
        PlaySystemUiLanguage(german, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
        InstallInterfaces();
        ASSERT_EQ(DescribeKey(kDeviceTypePath), DescribeTree(ExpectedDeviceTypeTree(CaptionRowFor(L"DE-DE"))));
    }

    EXPECT_EQ(Request(DIF_INSTALLINTERFACES), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(DescribePlugInTrees(), DescribeRegisteredTrees(L"EN-US"));
}

TEST_P(CoInstallerRequests, ReinstallRemovesForeignKeysAndValuesAtAnyDepth)
{
    InstallInterfaces();
    AddForeignContent();

    EXPECT_EQ(Request(DIF_INSTALLINTERFACES), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(DescribePlugInTrees(), DescribeRegisteredTrees(L"EN-US"));
}

TEST_P(CoInstallerRequests, InstallAndRemoveLeaveEverythingBesideTheTwoTreesAlone)
{
    // Neighbours, some named like the trees but for one character.
    SetString(HKEY_CLASSES_ROOT, kPlugInsPath, nullptr, L"kept");
    SetString(HKEY_CLASSES_ROOT, kPlugInsPath, L"Marker", L"kept");
    const std::wstring hardwareIdentityShort = kHardwareIdentityPath.substr(0, kHardwareIdentityPath.size() - 1);
    SetString(HKEY_CLASSES_ROOT, hardwareIdentityShort + L"\\DefaultIcon", nullptr, L"kept");
    CreateKey(HKEY_CLASSES_ROOT, kHardwareIdentityPath + L"1\\shell");
    SetString(HKEY_CLASSES_ROOT, kDeviceTypePath + L"2\\shell\\Open\\command", nullptr, L"kept");
    CreateKey(HKEY_CLASSES_ROOT, kDeviceTypePath.substr(0, kDeviceTypePath.size() - 1));
    SetString(HKEY_CLASSES_ROOT, kPlugInsPath + L"\\OtherVendorDevice\\DefaultIcon", nullptr, L"kept");
    const RegTree neighbours = SnapshotTree(HKEY_CLASSES_ROOT, kPlugInsPath);
    const std::wstring hardwareIdentityName = kHardwareIdentityPath.substr(kPlugInsPath.size() + 1);
    const std::wstring deviceTypeName = kDeviceTypePath.substr(kPlugInsPath.size() + 1);

    ASSERT_EQ(Request(DIF_INSTALLINTERFACES), static_cast<DWORD>(NO_ERROR));
    const RegTree afterInstall = SnapshotTree(HKEY_CLASSES_ROOT, kPlugInsPath);
    EXPECT_EQ(DescribeTree(WithoutSubtree(WithoutSubtree(afterInstall, hardwareIdentityName), deviceTypeName)),
              DescribeTree(neighbours));

    ASSERT_EQ(Request(DIF_REMOVE), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(DescribeKey(kPlugInsPath), DescribeTree(neighbours));
}

// --- DIF_REMOVE -----------------------------------------------------------------------

TEST_P(CoInstallerRequests, RemoveDeletesBothTreesWithEverythingBelowThem)
{
    InstallInterfaces();
    AddForeignContent();

    EXPECT_EQ(Request(DIF_REMOVE), static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kHardwareIdentityPath));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kDeviceTypePath));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kPlugInsPath));
}

TEST_P(CoInstallerRequests, RemoveWithoutTreesCreatesNothing)
{
    DeleteTree(HKEY_CLASSES_ROOT, kPlugInsPath);

    EXPECT_EQ(Request(DIF_REMOVE), static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kPlugInsPath));
}

// A key that refuses deletion ends the removal of its own tree where it stands: the keys
// enumerated before it are gone, it stays with its ancestors. The other tree is still
// removed.
TEST_P(CoInstallerRequests, RemoveGoesOnToTheDeviceTypeTreeWhenTheOtherResists)
{
    InstallInterfaces();
    DenyDelete resisting(HKEY_CLASSES_ROOT, kOmpCommandPath);

    EXPECT_EQ(Request(DIF_REMOVE), static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kDeviceTypePath));
    const RegTree hardwareIdentityLeft = WithoutSubtree(ExpectedHardwareIdentityTree(), L"DefaultIcon");
    EXPECT_EQ(DescribeKey(kHardwareIdentityPath), DescribeTree(hardwareIdentityLeft));
}

TEST_P(CoInstallerRequests, InstallWritesBothTreesEvenWhenTheOldOnesResistRemoval)
{
    InstallInterfaces();
    // Alphabetically, "Foreign" is enumerated before the resisting key and "Zzz" never is.
    CreateKey(HKEY_CLASSES_ROOT, kHardwareIdentityPath + L"\\shell\\Foreign");
    CreateKey(HKEY_CLASSES_ROOT, kHardwareIdentityPath + L"\\shell\\Zzz");
    DenyDelete resisting(HKEY_CLASSES_ROOT, kOmpCommandPath);

    EXPECT_EQ(Request(DIF_INSTALLINTERFACES), static_cast<DWORD>(NO_ERROR));
    RegTree expected = ExpectedHardwareIdentityTree();
    expected[L"shell\\Zzz"];
    EXPECT_EQ(DescribeKey(kHardwareIdentityPath), DescribeTree(expected));
    EXPECT_EQ(DescribeKey(kDeviceTypePath), DescribeTree(ExpectedDeviceTypeTree(CaptionRowFor(L"EN-US"))));
}

// A registry link in a tree that refuses deletion survives the removal, and the
// registration that follows must not write through it: every key and value it would make
// would land wherever the link points. A link that also refuses to be opened or read
// cannot be told from a plain key, and is left alone just the same.
TEST_P(CoInstallerRequests, InstallNeverWritesThroughALinkThatResistsRemoval)
{
    const std::wstring victim = L"Software\\ZorvaTestVictim";
    RegistryGuard victimGuard(HKEY_LOCAL_MACHINE, victim);
    SetString(HKEY_LOCAL_MACHINE, victim + L"\\kept", nullptr, L"victim");
    const RegTree victimBefore = SnapshotTree(HKEY_LOCAL_MACHINE, victim);

    const std::wstring shell = kDeviceTypePath + L"\\shell";
    const std::tuple<std::wstring, REGSAM, bool> links[] = {
        {kDeviceTypePath, 0, false}, {shell, 0, false}, {shell, 0, true},
        {kDeviceTypePath, KEY_QUERY_VALUE, false}, {shell, KEY_QUERY_VALUE, false}};
    for (const auto& [link, alsoDenied, queryRefused] : links) {
        SCOPED_TRACE(testing::Message() << "link at " << Narrow(link) << ", also denied: " << alsoDenied
                                        << (queryRefused ? ", every query refused" : ""));
        DeleteTree(HKEY_CLASSES_ROOT, kDeviceTypePath);
        CreateLink(HKEY_CLASSES_ROOT, link, NativePath(HKEY_LOCAL_MACHINE, victim));
        {
            DenyDelete resisting(HKEY_CLASSES_ROOT, link, alsoDenied);
            std::optional<PlatformRecorder> recorder;
            if (queryRefused) {
                recorder.emplace(dll_.Module());
                recorder->Replace<&::RegQueryValueExW>(&RefusedQuery);
            }
            EXPECT_EQ(Request(DIF_INSTALLINTERFACES), static_cast<DWORD>(NO_ERROR));
        }
        EXPECT_EQ(DescribeTree(SnapshotTree(HKEY_LOCAL_MACHINE, victim)), DescribeTree(victimBefore));
        EXPECT_EQ(DescribeKey(kHardwareIdentityPath), DescribeTree(ExpectedHardwareIdentityTree()));
    }
    // Below a link in its place the device-type key itself is still written.
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kDeviceTypePath + L"\\DefaultIcon"));
}

// --- Registration failures --------------------------------------------------------------

// The Media Player verb key refuses deletion and writes: the removal leaves it, and its
// MUIVerb cannot be written. The command below it, opened by its full path, still is, and
// so is everything after it. (Were the key unreadable, it could not be told from a link,
// and nothing would be written below it.)
TEST_P(CoInstallerRequests, RefusedWriteDoesNotStopTheWritesAfterIt)
{
    InstallInterfaces();
    const std::wstring mediaPlayerVerb = kHardwareIdentityPath + L"\\shell\\Open Media Player";
    SetString(HKEY_CLASSES_ROOT, mediaPlayerVerb, L"MUIVerb", L"stale");
    SetString(HKEY_CLASSES_ROOT, kOmpCommandPath, nullptr, L"stale");
    {
        DenyDelete locked(HKEY_CLASSES_ROOT, mediaPlayerVerb, KEY_SET_VALUE);
        EXPECT_EQ(Request(DIF_INSTALLINTERFACES), static_cast<DWORD>(NO_ERROR));
    }
    RegTree expected = ExpectedHardwareIdentityTree();
    expected[L"shell\\Open Media Player"][L"MUIVerb"] = StringValue(L"stale");
    EXPECT_EQ(DescribeKey(kHardwareIdentityPath), DescribeTree(expected));
    EXPECT_EQ(DescribeKey(kDeviceTypePath), DescribeTree(ExpectedDeviceTypeTree(CaptionRowFor(L"EN-US"))));
}

// The device-type key (with a subkey, so that not even Wine lets its owner delete it)
// refuses every access: none of its tree can be written, and the hardware-identity tree
// written just before stays as written.
TEST_P(CoInstallerRequests, LockedDeviceTypeKeyLeavesTheHardwareIdentityTreeInPlace)
{
    CreateKey(HKEY_CLASSES_ROOT, kDeviceTypePath + L"\\Locked");
    {
        DenyAllAccess locked(HKEY_CLASSES_ROOT, kDeviceTypePath);
        ASSERT_EQ(locked.Status(), ERROR_SUCCESS);

        EXPECT_EQ(Request(DIF_INSTALLINTERFACES), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(DescribeKey(kHardwareIdentityPath), DescribeTree(ExpectedHardwareIdentityTree()));
    }
    EXPECT_EQ(DescribeKey(kDeviceTypePath), DescribeTree(RegTree{{L"", {}}, {L"Locked", {}}}));
}

// Units that are not present count as well (which Wine, listing every device as present,
// cannot show): the search takes in every device of the element's setup class.
TEST_P(CoInstallerRequests, RemoveLooksForOtherUnitsAmongAllDevicesOfTheElementsClass)
{
    InstallInterfaces();
    TestDevice unit{true, L"ROOT\\TESTNAS\\0001"};
    const TestDevice otherUnit{true, L"ROOT\\TESTNAS\\0002"};
    PlatformRecorder recorder(dll_.Module());

    EXPECT_EQ(Request(DIF_REMOVE, unit.Set(), unit.Data()), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(testing::PrintToString(recorder.Texts({"SetupDiGetClassDevsW"})),
              "{ \"SetupDiGetClassDevsW({6A5C1D3E-2F4B-4C8D-9E01-5A7B3C2D1E0F}, null, null, 0x0) = #\" }");
    EXPECT_EQ(DescribePlugInTrees(), DescribeRegisteredTrees(L"EN-US"));
}

// --- DIF_NEWDEVICEWIZARD_FINISHINSTALL --------------------------------------------------

TEST_P(CoInstallerRequests, FinishInstallAsksForTheFinishInstallActionAndKeepsEveryOtherField)
{
    SP_DEVINSTALL_PARAMS_W expected = device_.SetDistinctiveParams(0);
    expected.FlagsEx |= kDiFlagsExFinishInstallAction;

    EXPECT_EQ(Request(DIF_NEWDEVICEWIZARD_FINISHINSTALL), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(DescribeParams(device_.ReadParams()), DescribeParams(expected));
}

TEST_P(CoInstallerRequests, FinishInstallKeepsAnActionAlreadyAskedFor)
{
    const SP_DEVINSTALL_PARAMS_W before = device_.SetDistinctiveParams(kDiFlagsExFinishInstallAction);

    EXPECT_EQ(Request(DIF_NEWDEVICEWIZARD_FINISHINSTALL), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(DescribeParams(device_.ReadParams()), DescribeParams(before));
}

TEST_P(CoInstallerRequests, FinishInstallWritesNothingWhenTheParametersCannotBeRead)
{
    const SP_DEVINSTALL_PARAMS_W before = device_.SetDistinctiveParams(0);
    const RegTree plugInsBefore = SnapshotTree(HKEY_CLASSES_ROOT, kPlugInsPath);
    {
        PlatformRecorder recorder(dll_.Module());
        recorder.Replace<&::SetupDiGetDeviceInstallParamsW>(&FailingGetParams);

        EXPECT_EQ(Request(DIF_NEWDEVICEWIZARD_FINISHINSTALL), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(CallsBeyondLoading(recorder).size(), 1u) << testing::PrintToString(CallsBeyondLoading(recorder));
        EXPECT_EQ(recorder.Count("SetupDiGetDeviceInstallParamsW"), 1u);
    }
    EXPECT_EQ(DescribeParams(device_.ReadParams()), DescribeParams(before));
    EXPECT_EQ(DescribeKey(kPlugInsPath), DescribeTree(plugInsBefore));
}

// SetupDiGetDeviceInstallParamsW itself fails on a set that is no set (error 6).
TEST_P(CoInstallerRequests, FinishInstallOnAnInvalidDeviceSetWritesNothing)
{
    PlatformRecorder recorder(dll_.Module());
    for (HDEVINFO set : {INVALID_HANDLE_VALUE, static_cast<HDEVINFO>(nullptr)}) {
        SCOPED_TRACE(set == nullptr ? "null set" : "INVALID_HANDLE_VALUE");
        EXPECT_EQ(Request(DIF_NEWDEVICEWIZARD_FINISHINSTALL, set, nullptr), static_cast<DWORD>(NO_ERROR));
    }
    EXPECT_EQ(recorder.Count("SetupDiGetDeviceInstallParamsW"), 2u);
    EXPECT_EQ(CallsBeyondLoading(recorder).size(), 2u) << testing::PrintToString(CallsBeyondLoading(recorder));
}

// --- Every other request ----------------------------------------------------------------

// Other requests, DIF_FINISHINSTALL_ACTION among them, and codes that are one of the
// handled ones in their low byte only, make no platform call at all.
TEST_P(CoInstallerRequests, UnhandledRequestsTouchNeitherRegistryNorSetupApi)
{
    InstallInterfaces();
    AddForeignContent();  // a removal would take these away with the trees
    const RegTree plugInsBefore = SnapshotTree(HKEY_CLASSES_ROOT, kPlugInsPath);
    const SP_DEVINSTALL_PARAMS_W paramsBefore = device_.SetDistinctiveParams(0);

    const DI_FUNCTION codes[] = {
        0x00000000,      DIF_SELECTDEVICE, DIF_INSTALLDEVICE, DIF_DESTROYPRIVATEDATA, DIF_NEWDEVICEWIZARD_POSTANALYZE,
        DIF_UNUSED1,     DIF_DETECTCANCEL, DIF_REGISTER_COINSTALLERS, kDifFinishInstallAction,
        0x00000105,      0x0000011E,       0x00000120,        0x0000FFFF,             0x80000020,
    };
    PlatformRecorder recorder(dll_.Module());
    for (DI_FUNCTION code : codes) {
        SCOPED_TRACE(testing::Message() << "request 0x" << std::hex << code);
        EXPECT_EQ(Request(code), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(testing::PrintToString(CallsBeyondLoading(recorder)), "{}");
    }
    EXPECT_EQ(DescribeKey(kPlugInsPath), DescribeTree(plugInsBefore));
    EXPECT_EQ(DescribeParams(device_.ReadParams()), DescribeParams(paramsBefore));
}

// --- Delivered through SetupAPI -------------------------------------------------------
//
// The requests reach the library the way Windows delivers them: SetupAPI loads the DLL
// named in the device's CoInstallers32 value from System32 and calls the entry named there
// from SetupDiCallClassInstaller. (Wine's own default actions then run too, and mostly fail
// for lack of a driver, so their results are not what these tests look at.)

class CoInstallerThroughSetupApi : public testing::TestWithParam<EntryCase> {
protected:
    void SetUp() override
    {
        DeleteTree(HKEY_CLASSES_ROOT, kHardwareIdentityPath);
        DeleteTree(HKEY_CLASSES_ROOT, kDeviceTypePath);
        const std::string entry = GetParam().entry;
        device_.RegisterCoInstaller(std::wstring(entry.begin(), entry.end()));
    }

    void Send(DI_FUNCTION code) { SetupDiCallClassInstaller(code, device_.Set(), device_.Data()); }

    RegistryGuard plugIns_{HKEY_CLASSES_ROOT, kPlugInsPath};
    DeviceRegistryGuard deviceRegistry_;
    TestDevice device_{true};
};

// SetupAPI makes first calls only.
INSTANTIATE_TEST_SUITE_P(EntryPoints, CoInstallerThroughSetupApi, testing::Values(kEntryCases[0], kEntryCases[2]),
                         zorva_test::CaseName());

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
