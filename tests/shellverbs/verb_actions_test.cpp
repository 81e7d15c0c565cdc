// The verb actions, called in this process: the Public share connection through Wine's
// real mpr router (to the stand-in provider), the shell launch (to the stand-in recorder),
// and the three entry points of the installed DLL with the owner window, show command and
// failures that rundll32 cannot produce.

#include "common/com_owners.h"
#include "shellverbs/verb_actions.h"
#include "support/case_name.h"
#include "prefix/processes.h"
#include "support/recorder.h"
#include "prefix/standins_control.h"
#include "prefix/zorva_dll.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>
#include <winnetwk.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace zorva_test;

constexpr wchar_t kDownloadPage[] = L"http://download.zorva.example/?mod=download&device=zrv";

// A BSTR made for a test: all the units of `text`, whatever they are.
class TestBstr {
public:
    explicit TestBstr(const std::wstring& text)
    {
        *text_.put() = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }

    BSTR get() const { return text_.get(); }

private:
    zorva::UniqueBstr text_;
};

// Each test starts from stand-ins that have recorded nothing.
class FreshStandins : public testing::Test {
protected:
    void SetUp() override { ResetStandins(); }
};

// --- ConnectPublicShare -----------------------------------------------------------------

using ConnectPublicShare = FreshStandins;

TEST_F(ConnectPublicShare, ConnectsPublicShareToASystemChosenDriveWithDefaultCredentials)
{
    const TestBstr host(L"192.168.1.20");

    EXPECT_EQ(zorva::ConnectPublicShare(host.get()), S_OK);

    const std::vector<ConnectionRequest> requests = ReadConnectionRequests();
    ASSERT_EQ(requests.size(), 1u);
    const ConnectionRequest& request = requests[0];
    EXPECT_EQ(request.remoteName, std::optional<std::wstring>(L"\\\\192.168.1.20\\Public")) << request;
    // An empty local name with CONNECT_REDIRECT: Windows picks the drive letter itself.
    // Wine (unlike Windows) hands the empty name on to the provider and picks no letter, so
    // the letter cannot be seen here; the request's arguments can.
    EXPECT_EQ(request.localName, std::optional<std::wstring>(L"")) << request;
    EXPECT_EQ(request.flags, static_cast<DWORD>(CONNECT_REDIRECT)) << request;
    EXPECT_EQ(request.type, static_cast<DWORD>(RESOURCETYPE_DISK)) << request;
    EXPECT_EQ(request.provider, std::nullopt) << request;
    EXPECT_EQ(request.userName, std::nullopt) << request;
    EXPECT_EQ(request.password, std::nullopt) << request;
    EXPECT_FALSE(request.ownerWindow) << request;
}

TEST_F(ConnectPublicShare, MountingAgainMakesAnotherIdenticalRequest)
{
    const TestBstr host(L"nas-kt2hx");

    static_cast<void>(zorva::ConnectPublicShare(host.get()));
    static_cast<void>(zorva::ConnectPublicShare(host.get()));

    const std::vector<ConnectionRequest> requests = ReadConnectionRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].remoteName, std::optional<std::wstring>(L"\\\\nas-kt2hx\\Public"));
    EXPECT_EQ(requests[1].remoteName, requests[0].remoteName);
    EXPECT_EQ(requests[1].localName, requests[0].localName);
    EXPECT_EQ(requests[1].flags, requests[0].flags);
}

TEST_F(ConnectPublicShare, EmptyHostMakesNoAttempt)
{
    const TestBstr empty(L"");

    EXPECT_EQ(zorva::ConnectPublicShare(nullptr), E_INVALIDARG);
    EXPECT_EQ(zorva::ConnectPublicShare(empty.get()), E_INVALIDARG);

    EXPECT_TRUE(ReadConnectionRequests().empty());
}

struct LengthCase {
    const char* name;
    size_t hostLength;
    bool fits;
};

// "\\" + host + "\Public" and its terminator in 260 units: 250 characters fit.
const LengthCase kLengthCases[] = {
    {"Host250Fits", 250, true},
    {"Host251DoesNotFit", 251, false},
    {"Host255DoesNotFit", 255, false},
};

class ConnectPublicShareLength : public ConnectPublicShare, public testing::WithParamInterface<LengthCase> {};

TEST_P(ConnectPublicShareLength, ConnectsOnlyARemoteNameThatFitsWhole)
{
    const std::wstring hostText(GetParam().hostLength, L'n');
    const TestBstr host(hostText);

    const HRESULT result = zorva::ConnectPublicShare(host.get());

    const std::vector<ConnectionRequest> requests = ReadConnectionRequests();
    if (GetParam().fits) {
        EXPECT_EQ(result, S_OK);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].remoteName, L"\\\\" + hostText + L"\\Public");
    } else {
        EXPECT_TRUE(FAILED(result)) << std::hex << result;
        EXPECT_TRUE(requests.empty()) << requests[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, ConnectPublicShareLength, testing::ValuesIn(kLengthCases),
                         zorva_test::CaseName());

struct AnswerCase {
    const char* name;
    DWORD answer;
    HRESULT result;
};

const AnswerCase kAnswerCases[] = {
    {"Success", WN_SUCCESS, S_OK},
    {"BadNetName", WN_BAD_NETNAME, static_cast<HRESULT>(0x80070043)},
    {"AccessDenied", WN_ACCESS_DENIED, static_cast<HRESULT>(0x80070005)},
    {"BadPassword", WN_BAD_PASSWORD, static_cast<HRESULT>(0x80070056)},
    // With an empty local name Wine does not walk the drive letters on this answer.
    {"AlreadyConnected", WN_ALREADY_CONNECTED, static_cast<HRESULT>(0x80070055)},
    {"NoMoreDevices", ERROR_NO_MORE_DEVICES, static_cast<HRESULT>(0x800704E0)},
};

class ConnectPublicShareAnswer : public ConnectPublicShare, public testing::WithParamInterface<AnswerCase> {};

TEST_P(ConnectPublicShareAnswer, ReturnsTheRoutersAnswerAsHresultAfterOneAttempt)
{
    SetProviderAnswer(GetParam().answer);
    const TestBstr host(L"192.168.1.20");

    EXPECT_EQ(zorva::ConnectPublicShare(host.get()), GetParam().result);
    EXPECT_EQ(ReadConnectionRequests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Answers, ConnectPublicShareAnswer, testing::ValuesIn(kAnswerCases),
                         zorva_test::CaseName());

// --- LaunchShellTarget ------------------------------------------------------------------

using LaunchShellTarget = FreshStandins;

TEST_F(LaunchShellTarget, ShellOpensTheTargetAndTheCallReportsIt)
{
    LaunchWaiter launches;

    EXPECT_TRUE(zorva::LaunchShellTarget(kDownloadPage));

    ASSERT_TRUE(launches.WaitForLaunch());
    const std::vector<Launch> recorded = ReadLaunches();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].argument, kDownloadPage) << recorded[0];
    EXPECT_EQ(recorded[0].argumentCount, 1u) << recorded[0];
}

TEST_F(LaunchShellTarget, TargetTheShellCannotOpenReportsFailure)
{
    // No $WINEPREFIX/dosdevices/unc folder of this name: Wine's shell finds no such server.
    EXPECT_FALSE(zorva::LaunchShellTarget(L"\\\\zorva-no-such-server"));
    EXPECT_TRUE(ReadLaunches().empty());
}

// --- The entry points of the installed DLL, in this process ------------------------------

using VerbEntry = void(CALLBACK*)(HWND, HINSTANCE, LPSTR, int);

constexpr wchar_t kUdn[] = L"uuid:4d2b0c3e-0000-1000-8000-00113d0a0042";
constexpr char kTail[] = "uuid:4d2b0c3e-0000-1000-8000-00113d0a0042";
constexpr wchar_t kHost[] = L"192.168.1.20";

// The launch structure as designed, field by field, for a target: no owner window, the
// "open" verb, empty (not null) parameters and directory, SW_SHOWNORMAL, no error UI.
std::string DesignedLaunch(const std::string& target)
{
    return "ShellExecuteExW({cbSize=112 fMask=0x440 hwnd=null lpVerb=\"open\" lpFile=\"" + target +
           "\" lpParameters=\"\" lpDirectory=\"\" nShow=1 hInstApp=null lpIDList=null lpClass=null hkeyClass=null "
           "dwHotKey=0x0 hIcon=null hProcess=null}, -> hProcess=#) = 1";
}

// An owner window of its own, as rundll32 passes one.
class OwnerWindow {
public:
    OwnerWindow()
        : window_(CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  nullptr, nullptr))
    {
    }
    ~OwnerWindow()
    {
        if (window_ != nullptr) {
            DestroyWindow(window_);
        }
    }
    OwnerWindow(const OwnerWindow&) = delete;
    OwnerWindow& operator=(const OwnerWindow&) = delete;

    HWND get() const { return window_; }

private:
    HWND window_;
};

class EntryPoints : public testing::Test {
protected:
    void SetUp() override
    {
        ResetStandins();
        AddDevice(kUdn, L"http://192.168.1.20:5000/desc.xml");
        MakeUncServer(kHost);
        // Loaded for good (it pins itself), so that the BSTRs it hands out can be watched.
        const HMODULE finder = LoadLibraryW(L"zorva_test_upnpfinder.dll");
        ASSERT_NE(finder, nullptr);
        recorder_.Attach(finder, {"SysAllocString", "SysAllocStringLen"});
        ASSERT_NE(owner_.get(), nullptr);
    }

    // Calls an entry point the way rundll32 does: on a thread of its own, outside COM.
    // Afterwards the thread must be outside COM again (CoInitializeEx answers S_OK).
    void Call(const char* name, HWND owner, const char* tail, int show)
    {
        std::string writable = tail;
        HRESULT comAfterwards = E_UNEXPECTED;
        RunWithDeadline(
            [&] {
                dll_.Entry<VerbEntry>(name)(owner, GetModuleHandleW(nullptr), &writable[0], show);
                const zorva::ComApartment afterwards(COINIT_MULTITHREADED);
                comAfterwards = afterwards.Result();
            },
            60000, name);
        EXPECT_EQ(comAfterwards, S_OK) << "COM left entered, or left too often";
        EXPECT_EQ(testing::PrintToString(recorder_.Outstanding()), "{}") << "not released";
    }

    ZorvaDll dll_;
    PlatformRecorder recorder_{dll_.Module()};
    const OwnerWindow owner_;
};

// The lookup: the multithreaded apartment, the system's finder class in process, its BSTRs
// freed; then, outside COM, the launch as designed. The owner window and show command that
// rundll32 passes change nothing.
TEST_F(EntryPoints, OpenFindsTheDeviceThenLaunchesItsNetworkRootAsDesigned)
{
    LaunchWaiter launches;

    Call("ShellCommandOpen", owner_.get(), kTail, SW_HIDE);

    EXPECT_EQ(testing::PrintToString(recorder_.Texts({"CoInitializeEx", "CoCreateInstance", "CoUninitialize",
                                                      "ShellExecuteExW"})),
              testing::PrintToString(std::vector<std::string>{
                  "CoInitializeEx(null, 0x0) = 0",
                  "CoCreateInstance({E2085F28-FEB7-404A-B8E7-E659BDEAAA02}, null, 0x1, "
                  "{ADDA3D55-6F72-4319-BFF9-18600A539B10}, #, -> #) = 0",
                  "CoUninitialize() = void",
                  DesignedLaunch(R"(\\192.168.1.20)"),
              }));
    EXPECT_EQ(recorder_.Count("SysAllocStringLen"), 2u) << "the finder's URL and the network root";
    ASSERT_TRUE(launches.WaitForLaunch());
    const std::vector<Launch> recorded = ReadLaunches();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].showWindow, std::optional<WORD>(SW_SHOWNORMAL)) << recorded[0];
}

TEST_F(EntryPoints, InstallLaunchesTheDownloadPageAsDesigned)
{
    LaunchWaiter launches;

    Call("ShellCommandInstall", owner_.get(), kTail, SW_SHOWMINNOACTIVE);

    EXPECT_EQ(testing::PrintToString(recorder_.Texts({"ShellExecuteExW"})),
              testing::PrintToString(std::vector<std::string>{
                  DesignedLaunch("http://download.zorva.example/?mod=download&device=zrv")}));
    ASSERT_TRUE(launches.WaitForLaunch());
    EXPECT_EQ(ReadLaunches().size(), 1u);
}

// The router gets the arguments in their designed order: no owner window, the resource,
// no password, no user, CONNECT_REDIRECT alone, the access-name buffer and its 260 units.
TEST_F(EntryPoints, MountConnectsThePublicShareAsDesigned)
{

    Call("ShellCommandMount", owner_.get(), kTail, SW_HIDE);

    const std::vector<std::string> connections = recorder_.Texts({"WNetUseConnectionW"});
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].substr(0, connections[0].find(", -> ")),
              R"(WNetUseConnectionW(null, {dwScope=0x0 dwType=0x1 dwDisplayType=0x0 dwUsage=0x0 lpLocalName="" )"
              R"(lpRemoteName="\\192.168.1.20\Public" lpComment="" lpProvider=null}, null, null, 0x80, #, )"
              "&0x104, &0x0");
    EXPECT_EQ(recorder_.Texts({"CoUninitialize", "WNetUseConnectionW"})[0], "CoUninitialize() = void")
        << "COM is left once, before connecting";
    EXPECT_EQ(ReadConnectionRequests().size(), 1u);
}

// A tail without "uuid:" ends the verb before any platform call.
TEST_F(EntryPoints, TailWithoutUuidMakesNoPlatformCall)
{
    for (const char* entry : {"ShellCommandOpen", "ShellCommandMount"}) {
        for (const char* tail : {"", "UUID:4d2b0c3e-0000-1000-8000-00113d0a0042"}) {
            SCOPED_TRACE(testing::Message() << entry << " \"" << tail << "\"");
            recorder_.Restart();
            Call(entry, nullptr, tail, SW_SHOWNORMAL);
            EXPECT_EQ(recorder_.Calls().size(), 0u);
        }
    }
    EXPECT_TRUE(ReadLaunches().empty());
    EXPECT_TRUE(ReadConnectionRequests().empty());
}

}  // namespace
