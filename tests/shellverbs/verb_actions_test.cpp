// The verb actions, called in this process: the Public share connection through Wine's
// real mpr router (to the stand-in provider), the shell launch (to the stand-in recorder),
// and the three entry points of the installed DLL with the owner window, show command and
// failures that rundll32 cannot produce.

#include "common/com_owners.h"
#include "shellverbs/verb_actions.h"
#include "support/case_name.h"
#include "support/iat_patch.h"
#include "support/standins_control.h"
#include "support/zorva_dll.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>
#include <winnetwk.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>
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

// --- ConnectPublicShare -----------------------------------------------------------------

class ConnectPublicShare : public testing::Test {
protected:
    void SetUp() override { ResetStandins(); }
};

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

    zorva::ConnectPublicShare(host.get());
    zorva::ConnectPublicShare(host.get());

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

std::ostream& operator<<(std::ostream& out, const LengthCase& c)
{
    return out << c.name;
}

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

std::ostream& operator<<(std::ostream& out, const AnswerCase& c)
{
    return out << c.name;
}

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

class LaunchShellTarget : public testing::Test {
protected:
    void SetUp() override { ResetStandins(); }
};

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

// What the DLL handed to ShellExecuteExW, seen through its import table on the way to the
// real function.
struct ShellExecuteCall {
    HWND hwnd;
    int show;
    ULONG mask;
    std::wstring file;
};

std::vector<ShellExecuteCall> g_shellExecuteCalls;
using ShellExecuteExFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
ShellExecuteExFunction g_realShellExecuteEx = nullptr;

BOOL WINAPI RecordingShellExecuteEx(SHELLEXECUTEINFOW* info)
{
    g_shellExecuteCalls.push_back(
        {info->hwnd, info->nShow, info->fMask, info->lpFile != nullptr ? info->lpFile : L"(null)"});
    return g_realShellExecuteEx(info);
}

// Makes the DLL's BSTR allocations fail from the n-th on (counting every allocation
// function), as when memory runs out part-way through a verb.
int g_allocations = 0;
int g_failAllocationsFrom = 0;
int g_failedAllocations = 0;
using SysAllocStringFunction = BSTR(WINAPI*)(const OLECHAR*);
using SysAllocStringLenFunction = BSTR(WINAPI*)(const OLECHAR*, UINT);
SysAllocStringFunction g_realSysAllocString = nullptr;
SysAllocStringLenFunction g_realSysAllocStringLen = nullptr;

bool AllocationFails()
{
    if (g_failAllocationsFrom > 0 && ++g_allocations >= g_failAllocationsFrom) {
        ++g_failedAllocations;
        return true;
    }
    return false;
}

BSTR WINAPI FailingSysAllocString(const OLECHAR* text)
{
    return AllocationFails() ? nullptr : g_realSysAllocString(text);
}

BSTR WINAPI FailingSysAllocStringLen(const OLECHAR* text, UINT length)
{
    return AllocationFails() ? nullptr : g_realSysAllocStringLen(text, length);
}

int g_failedConversions = 0;

int WINAPI FailingMultiByteToWideChar(UINT, DWORD, LPCCH, int, LPWSTR, int)
{
    ++g_failedConversions;
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
}

struct EntryOutcome {
    bool exceptionEscaped = false;
    HRESULT comAfterwards = E_UNEXPECTED;
};

// Calls an entry point the way rundll32 does, on a thread without COM, and sees what
// leaves it.
EntryOutcome CallEntry(VerbEntry entry, HWND owner, const std::string& tail, int show)
{
    EntryOutcome outcome;
    std::thread worker([&] {
        std::vector<char> writable(tail.begin(), tail.end());
        writable.push_back('\0');
        try {
            entry(owner, GetModuleHandleW(nullptr), writable.data(), show);
        } catch (...) {
            outcome.exceptionEscaped = true;
        }
        const zorva::ComApartment afterwards(COINIT_MULTITHREADED);
        outcome.comAfterwards = afterwards.Result();
    });
    worker.join();
    return outcome;
}

constexpr wchar_t kUdn[] = L"uuid:4d2b0c3e-0000-1000-8000-00113d0a0042";
constexpr char kTail[] = "uuid:4d2b0c3e-0000-1000-8000-00113d0a0042";
constexpr wchar_t kHost[] = L"192.168.1.20";

class EntryPoints : public testing::Test {
protected:
    void SetUp() override
    {
        ResetStandins();
        AddDevice(kUdn, L"http://192.168.1.20:5000/desc.xml");
        MakeUncServer(kHost);
        g_shellExecuteCalls.clear();
        g_allocations = 0;
        g_failAllocationsFrom = 0;
        g_failedAllocations = 0;
        g_failedConversions = 0;
        g_realShellExecuteEx = shellExecute_.Original<ShellExecuteExFunction>();
        ASSERT_GT(shellExecute_.Slots(), 0u) << "the DLL does not import ShellExecuteExW";
    }

    VerbEntry Entry(const char* name) const { return dll_.Entry<VerbEntry>(name); }

    ZorvaDll dll_;
    IatPatch shellExecute_{dll_.Module(), "ShellExecuteExW", reinterpret_cast<const void*>(&RecordingShellExecuteEx)};
};

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

struct ShowCase {
    const char* name;
    const char* entry;
    int show;
    const wchar_t* target;
};

std::ostream& operator<<(std::ostream& out, const ShowCase& c)
{
    return out << c.name;
}

const ShowCase kShowCases[] = {
    {"OpenHidden", "ShellCommandOpen", SW_HIDE, L"\\\\192.168.1.20"},
    {"OpenMaximized", "ShellCommandOpen", SW_SHOWMAXIMIZED, L"\\\\192.168.1.20"},
    {"InstallMinimized", "ShellCommandInstall", SW_SHOWMINNOACTIVE, kDownloadPage},
};

class EntryPointsShow : public EntryPoints, public testing::WithParamInterface<ShowCase> {};

TEST_P(EntryPointsShow, LaunchUsesNoOwnerWindowAndShowsNormally)
{
    const ShowCase& c = GetParam();
    const OwnerWindow owner;
    ASSERT_NE(owner.get(), nullptr);
    LaunchWaiter launches;

    const EntryOutcome outcome = CallEntry(Entry(c.entry), owner.get(), kTail, c.show);

    EXPECT_FALSE(outcome.exceptionEscaped);
    ASSERT_EQ(g_shellExecuteCalls.size(), 1u);
    EXPECT_EQ(g_shellExecuteCalls[0].hwnd, nullptr);
    EXPECT_EQ(g_shellExecuteCalls[0].file, c.target);
    // No error dialog may come from a failed launch.
    EXPECT_NE(g_shellExecuteCalls[0].mask & SEE_MASK_FLAG_NO_UI, 0u);
    ASSERT_TRUE(launches.WaitForLaunch());
    const std::vector<Launch> recorded = ReadLaunches();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].showWindow, std::optional<WORD>(SW_SHOWNORMAL)) << recorded[0];
}

INSTANTIATE_TEST_SUITE_P(ShowCommands, EntryPointsShow, testing::ValuesIn(kShowCases),
                         zorva_test::CaseName());

TEST_F(EntryPoints, MountPassesNoOwnerWindowToTheRouter)
{
    const OwnerWindow owner;
    ASSERT_NE(owner.get(), nullptr);

    CallEntry(Entry("ShellCommandMount"), owner.get(), kTail, SW_HIDE);

    const std::vector<ConnectionRequest> requests = ReadConnectionRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].ownerWindow) << requests[0];
}

struct NoUdnCase {
    const char* name;
    const char* entry;
    const char* tail;
};

std::ostream& operator<<(std::ostream& out, const NoUdnCase& c)
{
    return out << c.name;
}

const NoUdnCase kNoUdnCases[] = {
    {"OpenEmpty", "ShellCommandOpen", ""},
    {"OpenUpperCase", "ShellCommandOpen", "UUID:4d2b0c3e-0000-1000-8000-00113d0a0042"},
    {"MountEmpty", "ShellCommandMount", ""},
    {"MountUpperCase", "ShellCommandMount", "UUID:4d2b0c3e-0000-1000-8000-00113d0a0042"},
};

bool IsComFunction(const char* dll, const char*)
{
    return lstrcmpiA(dll, "ole32.dll") == 0 || lstrcmpiA(dll, "combase.dll") == 0 ||
           _strnicmp(dll, "api-ms-win-core-com-", 20) == 0;
}

class EntryPointsWithoutUdn : public EntryPoints, public testing::WithParamInterface<NoUdnCase> {};

TEST_P(EntryPointsWithoutUdn, TailWithoutUuidMakesNoComCall)
{
    ImportCallCounter com(dll_.Module(), IsComFunction);
    ASSERT_GT(com.Functions(), 0u) << "the DLL imports no COM function";

    CallEntry(Entry(GetParam().entry), nullptr, GetParam().tail, SW_SHOWNORMAL);

    EXPECT_EQ(com.TotalCalls(), 0u) << com.Describe();
    EXPECT_TRUE(g_shellExecuteCalls.empty());
    EXPECT_TRUE(ReadConnectionRequests().empty());
}

INSTANTIATE_TEST_SUITE_P(Tails, EntryPointsWithoutUdn, testing::ValuesIn(kNoUdnCases),
                         zorva_test::CaseName());

// A failure part-way through a verb: a BSTR allocation that fails from the n-th on, or
// the tail's ANSI conversion. The allocations of a lookup verb are, in order, the UDN, the
// host, and (Open only) the network root path.
struct FailureCase {
    const char* name;
    const char* entry;
    int failAllocationsFrom;  // 0: the conversion fails instead
};

std::ostream& operator<<(std::ostream& out, const FailureCase& c)
{
    return out << c.name;
}

const FailureCase kFailureCases[] = {
    {"OpenConversionFails", "ShellCommandOpen", 0},
    {"OpenUdnAllocationFails", "ShellCommandOpen", 1},
    {"OpenHostAllocationFails", "ShellCommandOpen", 2},
    {"OpenRootPathAllocationFails", "ShellCommandOpen", 3},
    {"MountConversionFails", "ShellCommandMount", 0},
    {"MountUdnAllocationFails", "ShellCommandMount", 1},
    {"MountHostAllocationFails", "ShellCommandMount", 2},
};

class EntryPointsFailure : public EntryPoints, public testing::WithParamInterface<FailureCase> {
protected:
    EntryOutcome CallFailing()
    {
        const FailureCase& c = GetParam();
        IatPatch allocString(dll_.Module(), "SysAllocString", reinterpret_cast<const void*>(&FailingSysAllocString));
        IatPatch allocStringLen(dll_.Module(), "SysAllocStringLen",
                                reinterpret_cast<const void*>(&FailingSysAllocStringLen));
        g_realSysAllocString = allocString.Original<SysAllocStringFunction>();
        g_realSysAllocStringLen = allocStringLen.Original<SysAllocStringLenFunction>();
        std::optional<IatPatch> conversion;
        if (c.failAllocationsFrom == 0) {
            conversion.emplace(dll_.Module(), "MultiByteToWideChar",
                               reinterpret_cast<const void*>(&FailingMultiByteToWideChar));
        } else {
            g_failAllocationsFrom = c.failAllocationsFrom;
        }
        const EntryOutcome outcome = CallEntry(Entry(c.entry), nullptr, kTail, SW_SHOWNORMAL);
        g_failAllocationsFrom = 0;
        return outcome;
    }
};

TEST_P(EntryPointsFailure, NoExceptionLeavesTheEntryPoint)
{
    const EntryOutcome outcome = CallFailing();
    ASSERT_GT(g_failedAllocations + g_failedConversions, 0) << "the failure was never reached";
    EXPECT_FALSE(outcome.exceptionEscaped);
}

TEST_P(EntryPointsFailure, NothingIsLaunchedOrConnected)
{
    CallFailing();
    ASSERT_GT(g_failedAllocations + g_failedConversions, 0) << "the failure was never reached";
    EXPECT_TRUE(g_shellExecuteCalls.empty()) << Narrow(g_shellExecuteCalls[0].file);
    const std::vector<ConnectionRequest> requests = ReadConnectionRequests();
    EXPECT_TRUE(requests.empty()) << requests[0];
}

TEST_P(EntryPointsFailure, EveryFinderObjectIsReleasedAndComLeft)
{
    // The finder DLL pins itself once loaded: compared with before, an object leaked by an
    // earlier test does not fail this one.
    const LONG before = FinderLiveObjectsHere().value_or(0);

    const EntryOutcome outcome = CallFailing();

    ASSERT_GT(g_failedAllocations + g_failedConversions, 0) << "the failure was never reached";
    EXPECT_EQ(FinderLiveObjectsHere().value_or(0), before);
    EXPECT_EQ(outcome.comAfterwards, S_OK);
}

INSTANTIATE_TEST_SUITE_P(Failures, EntryPointsFailure, testing::ValuesIn(kFailureCases),
                         zorva_test::CaseName());

}  // namespace
