// The verbs end to end, the way the Network folder runs them: the co-installer writes the
// plug-in keys, each verb's command line is read back from the registry, the device
// argument goes in place of %1, and Wine's rundll32 runs the line in a process of its own.
// The stand-ins see what comes out: the finder is asked for the UDN, the recorder is
// started by the shell for a folder or URL, the provider gets the connection request.

#include "console/owners.h"
#include "demo/appliance.h"
#include "demo/network_folder.h"
#include "shellverbs/verbs.h"
#include "support/case_name.h"
#include "support/lookup_failures.h"
#include "prefix/plugin_trees.h"
#include "support/registry_guard.h"
#include "prefix/standins_control.h"
#include "prefix/zorva_dll.h"

#include <windows.h>

#include <winnetwk.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace zorva_test;

constexpr wchar_t kDownloadPage[] = L"http://download.zorva.example/?mod=download&device=zrv";
constexpr wchar_t kUdn[] = L"uuid:4d2b0c3e-0000-1000-8000-00113d0a0042";

constexpr const zorva::VerbName& kOpen = zorva::NameOf(zorva::Verb::Open);
constexpr const zorva::VerbName& kMount = zorva::NameOf(zorva::Verb::Mount);
constexpr const zorva::VerbName& kDownload = zorva::NameOf(zorva::Verb::Download);

// Whether the verb looks up the device its argument names: those are the verbs that must do
// nothing when the argument names none, or when the lookup fails.
bool LooksUpTheDevice(zorva::Verb verb)
{
    switch (verb) {
    case zorva::Verb::Open:
    case zorva::Verb::Mount:
        return true;
    case zorva::Verb::Download:
        return false;
    }
    throw std::invalid_argument("not a verb");
}

std::vector<zorva::VerbName> VerbsLookingUpTheDevice()
{
    std::vector<zorva::VerbName> verbs;
    for (const zorva::VerbName& verb : zorva::kVerbNames) {
        if (LooksUpTheDevice(verb.verb)) {
            verbs.push_back(verb);
        }
    }
    return verbs;
}

class Verbs : public testing::Test {
protected:
    // The plug-in keys, written by the co-installer itself for each group of tests and put
    // back as they were afterwards.
    static void SetUpTestSuite()
    {
        plugIns_ = std::make_unique<RegistryGuard>(HKEY_CLASSES_ROOT, kPlugInsPath);
        zorva::UniqueDevInfo set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
        ZorvaDll().CoInstall(DIF_INSTALLINTERFACES, set.get());
    }
    static void TearDownTestSuite() { plugIns_.reset(); }

    void SetUp() override
    {
        ASSERT_EQ(GetACP(), 1252u) << "the suite runs under LC_ALL=en_US.UTF-8";
        ResetStandins();
    }

    // Runs the registered verb as the Network folder does, with `argument` in place of %1,
    // and waits for it and what it started. (rundll32 exits 0 whatever happens: only the
    // effects tell.)
    static void RunVerb(const zorva::VerbName& verb, const std::wstring& argument)
    {
        const std::vector<zorva_demo::Verb> verbs = zorva_demo::RegisteredVerbs(zorva_demo::kDeviceType);
        static_cast<void>(zorva_demo::RunVerb(zorva_demo::VerbRunning(verbs, verb.wideEntryPoint), argument));
    }

    inline static std::unique_ptr<RegistryGuard> plugIns_;
};

// --- What each verb does for a device that is found ----------------------------------------

struct HostCase {
    std::string name;
    std::wstring descriptionUrl;
    std::wstring host;
};

// Hosts of every kind, and the longest host the verb takes.
std::vector<HostCase> HostCases(size_t longest)
{
    const std::wstring host(longest, L'h');
    return {{"Ipv4WithPort", L"http://192.168.1.20:5000/desc.xml", L"192.168.1.20"},
            {"Name", L"http://nas-kt2hx.zorva.example/upnp/desc.xml", L"nas-kt2hx.zorva.example"},
            {"FullyQualifiedName", L"http://nas.example./desc.xml", L"nas.example."},
            {"Host" + std::to_string(longest) + "Characters", L"http://" + host + L":80/desc.xml", host}};
}

class OpenVerb : public Verbs, public testing::WithParamInterface<HostCase> {};

TEST_P(OpenVerb, ShellOpensTheNetworkRootOfTheHost)
{
    AddDevice(kUdn, GetParam().descriptionUrl);
    MakeUncServer(GetParam().host);

    RunVerb(kOpen, kUdn);

    const std::vector<Launch> launches = ReadLaunches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].argument, L"\\\\" + GetParam().host) << launches[0];
    EXPECT_TRUE(ReadConnectionRequests().empty());
}

// Wine's shell opens "\\host" only for hosts of up to 253 characters.
INSTANTIATE_TEST_SUITE_P(Hosts, OpenVerb, testing::ValuesIn(HostCases(253)),
                         zorva_test::CaseName());

class MountVerb : public Verbs, public testing::WithParamInterface<HostCase> {};

TEST_P(MountVerb, RouterGetsThePublicShareWithRedirectAndNoCredentials)
{
    AddDevice(kUdn, GetParam().descriptionUrl);

    RunVerb(kMount, kUdn);

    const std::vector<ConnectionRequest> requests = ReadConnectionRequests();
    ASSERT_EQ(requests.size(), 1u);
    const ConnectionRequest& request = requests[0];
    EXPECT_EQ(request.remoteName, L"\\\\" + GetParam().host + L"\\Public") << request;
    // Empty, not null: Windows then picks the drive letter itself. Wine passes the empty
    // name on to the provider instead and picks none, so only the arguments can be checked.
    EXPECT_EQ(request.localName, std::optional<std::wstring>(L"")) << request;
    EXPECT_EQ(request.flags, static_cast<DWORD>(CONNECT_REDIRECT)) << request;
    EXPECT_EQ(request.type, static_cast<DWORD>(RESOURCETYPE_DISK)) << request;
    EXPECT_EQ(request.userName, std::nullopt) << request;
    EXPECT_EQ(request.password, std::nullopt) << request;
    EXPECT_FALSE(request.ownerWindow) << request;
    EXPECT_TRUE(ReadLaunches().empty());
}

// A host of up to 250 characters fits the remote name "\\host\Public" in 260 units.
INSTANTIATE_TEST_SUITE_P(Hosts, MountVerb, testing::ValuesIn(HostCases(250)),
                         zorva_test::CaseName());

TEST_F(Verbs, MountRefusesAHostTooLongForTheRemoteName)
{
    AddDevice(kUdn, L"http://" + std::wstring(251, L'm') + L"/desc.xml");

    RunVerb(kMount, kUdn);

    EXPECT_TRUE(ReadConnectionRequests().empty());
}

struct AnswerCase {
    const char* name;
    DWORD answer;
};

// A null local name would make Wine walk the drive letters on WN_ALREADY_CONNECTED, one
// request per letter.
const AnswerCase kAnswerCases[] = {
    {"BadNetName", WN_BAD_NETNAME},
    {"AccessDenied", WN_ACCESS_DENIED},
    {"AlreadyConnected", WN_ALREADY_CONNECTED},
};

class MountVerbAnswer : public Verbs, public testing::WithParamInterface<AnswerCase> {};

TEST_P(MountVerbAnswer, RefusedConnectionIsAttemptedOnceAndEndsQuietly)
{
    AddDevice(kUdn, L"http://192.168.1.20:5000/desc.xml");
    SetProviderAnswer(GetParam().answer);

    RunVerb(kMount, kUdn);

    EXPECT_EQ(ReadConnectionRequests().size(), 1u);
    EXPECT_TRUE(ReadLaunches().empty());
}

INSTANTIATE_TEST_SUITE_P(Answers, MountVerbAnswer, testing::ValuesIn(kAnswerCases),
                         zorva_test::CaseName());

TEST_F(Verbs, MountingAgainAsksTheRouterAgain)
{
    AddDevice(kUdn, L"http://192.168.1.20:5000/desc.xml");

    RunVerb(kMount, kUdn);
    RunVerb(kMount, kUdn);

    const std::vector<ConnectionRequest> requests = ReadConnectionRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].remoteName, requests[0].remoteName);
}

struct DownloadCase {
    const char* name;
    const wchar_t* argument;
};

const DownloadCase kDownloadCases[] = {
    {"EmptyArgument", L""},
    {"DeviceUdn", kUdn},
    {"UnknownUdn", L"uuid:no-such-device"},
    {"NoUdn", L"Zorva KT2HX"},
};

class DownloadVerb : public Verbs, public testing::WithParamInterface<DownloadCase> {};

TEST_P(DownloadVerb, OpensTheDownloadPageWithoutLookingUpTheDevice)
{
    AddDevice(kUdn, L"http://192.168.1.20:5000/desc.xml");

    RunVerb(kDownload, GetParam().argument);

    const std::vector<Launch> launches = ReadLaunches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].argument, kDownloadPage) << launches[0];
    EXPECT_EQ(ReadFinderActivity().created, 0u);
    EXPECT_TRUE(ReadConnectionRequests().empty());
}

INSTANTIATE_TEST_SUITE_P(Arguments, DownloadVerb, testing::ValuesIn(kDownloadCases),
                         zorva_test::CaseName());

class LookupVerb : public Verbs, public testing::WithParamInterface<zorva::VerbName> {};

TEST_P(LookupVerb, SuccessfulVerbLeavesNoFinderObjectAlive)
{
    AddDevice(kUdn, L"http://192.168.1.20:5000/desc.xml");
    MakeUncServer(L"192.168.1.20");

    RunVerb(GetParam(), kUdn);

    const FinderActivity finder = ReadFinderActivity();
    EXPECT_EQ(finder.created, 1u);
    EXPECT_EQ(finder.findCalls, 1u);
    EXPECT_EQ(finder.liveObjects, 0u);
}

INSTANTIATE_TEST_SUITE_P(Verbs, LookupVerb, testing::ValuesIn(VerbsLookingUpTheDevice()), zorva_test::CaseName());

// --- The device argument ----------------------------------------------------------------

struct NoUdnCase {
    std::string name;  // the verb and the argument, "OpenEmpty"
    zorva::VerbName verb;
    const wchar_t* argument;
};

std::vector<NoUdnCase> NoUdnCases()
{
    const std::pair<const char*, const wchar_t*> arguments[] = {
        {"Empty", L""},
        {"UpperCase", L"UUID:4d2b0c3e-0000-1000-8000-00113d0a0042"},
        {"DeviceName", L"Zorva KT2HX"},
    };
    std::vector<NoUdnCase> cases;
    for (const zorva::VerbName& verb : VerbsLookingUpTheDevice()) {
        for (const auto& [name, argument] : arguments) {
            cases.push_back({verb.name + std::string(name), verb, argument});
        }
    }
    return cases;
}

class VerbWithoutUdn : public Verbs, public testing::WithParamInterface<NoUdnCase> {};

TEST_P(VerbWithoutUdn, ArgumentWithoutUuidTouchesNoComAndDoesNothing)
{
    // The finder knows the device under its upper-case name, so a case-blind search would
    // find it and act; the finder's creation count shows whether COM was touched at all.
    AddDevice(L"UUID:4d2b0c3e-0000-1000-8000-00113d0a0042", L"http://192.168.1.20:5000/desc.xml");
    MakeUncServer(L"192.168.1.20");

    RunVerb(GetParam().verb, GetParam().argument);

    EXPECT_EQ(ReadFinderActivity().created, 0u);
    EXPECT_TRUE(ReadLaunches().empty());
    EXPECT_TRUE(ReadConnectionRequests().empty());
}

INSTANTIATE_TEST_SUITE_P(Arguments, VerbWithoutUdn, testing::ValuesIn(NoUdnCases()),
                         zorva_test::CaseName());

struct UdnCase {
    const char* name;
    std::wstring argument;
    std::wstring udn;  // what the finder must be asked for
};

// The command line is wide; rundll32 converts the tail to the ANSI code page (1252 here)
// and the verb converts it back.
const UdnCase kUdnCases[] = {
    {"TextBeforeSkipped", L"Zorva KT2HX uuid:4d2b0c3e", L"uuid:4d2b0c3e"},
    {"TrailingBlankKept", L"uuid:4d2b0c3e ", L"uuid:4d2b0c3e "},
    {"SecondUuidKept", L"uuid:aaaa uuid:bbbb", L"uuid:aaaa uuid:bbbb"},
    {"ExactlyUuidColon", L"uuid:", L"uuid:"},
    {"NonAsciiThroughAnsiCodePage", L"uuid:caf\u00e9-\u20ac", L"uuid:caf\u00e9-\u20ac"},
    // The bytes C3 A9: 2 characters in code page 1252, 1 in UTF-8.
    {"Utf8BytesThroughAnsiCodePage", L"uuid:\u00c3\u00a9", L"uuid:\u00c3\u00a9"},
};

class VerbUdn : public Verbs, public testing::WithParamInterface<UdnCase> {};

TEST_P(VerbUdn, FinderIsAskedForTheUdnAsItStandsInTheArgument)
{
    AddDevice(GetParam().udn, L"http://192.168.1.20:5000/desc.xml");
    MakeUncServer(L"192.168.1.20");

    RunVerb(kOpen, GetParam().argument);

    const FinderActivity finder = ReadFinderActivity();
    EXPECT_EQ(finder.findCalls, 1u);
    EXPECT_EQ(finder.lastUdn, GetParam().udn);
    // The finder matches UDNs exactly, so the device was found only for exactly this one.
    const std::vector<Launch> launches = ReadLaunches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].argument, L"\\\\192.168.1.20") << launches[0];
}

INSTANTIATE_TEST_SUITE_P(Arguments, VerbUdn, testing::ValuesIn(kUdnCases),
                         zorva_test::CaseName());

// --- A lookup that fails ----------------------------------------------------------------

struct FailureRun {
    std::string name;  // the verb and the failure, "OpenFinderMissing"
    zorva::VerbName verb;
    LookupFailure failure;
};

std::vector<FailureRun> FailureRuns()
{
    std::vector<FailureRun> runs;
    for (const zorva::VerbName& verb : VerbsLookingUpTheDevice()) {
        for (const LookupFailure& failure : kLookupFailures) {
            runs.push_back({verb.name + std::string(failure.name), verb, failure});
        }
    }
    return runs;
}

// What one failing run left behind. Both tests of a step look at the same run: each
// rundll32 run costs a tenth of a second or more under Wine.
struct FailureObservation {
    std::vector<Launch> launches;
    std::vector<ConnectionRequest> requests;
    FinderActivity finder;
};

class FailedLookup : public Verbs, public testing::WithParamInterface<FailureRun> {
protected:
    const FailureObservation& RunFailing()
    {
        static std::map<std::string, FailureObservation> observed;
        const std::string& key = GetParam().name;
        const auto done = observed.find(key);
        if (done != observed.end()) {
            return done->second;
        }
        const LookupFailure& c = GetParam().failure;
        ArrangeLookupFailure(c, kUdn);
        MakeUncServer(L"192.168.1.20");
        if (c.uncFolder != nullptr) {
            MakeUncServer(c.uncFolder);
        }
        FailureObservation observation;
        {
            std::optional<FinderUnregistered> unregistered;
            if (c.finderMissing) {
                unregistered.emplace();
            }
            RunVerb(GetParam().verb, kUdn);
        }
        observation.launches = ReadLaunches();
        observation.requests = ReadConnectionRequests();
        observation.finder = ReadFinderActivity();
        return observed[key] = observation;
    }
};

TEST_P(FailedLookup, NothingIsLaunchedOrConnected)
{
    const FailureObservation& run = RunFailing();

    EXPECT_TRUE(run.launches.empty()) << run.launches[0];
    EXPECT_TRUE(run.requests.empty()) << run.requests[0];
}

TEST_P(FailedLookup, NoFinderObjectIsLeftAlive)
{
    const FailureObservation& run = RunFailing();

    EXPECT_EQ(run.finder.created, GetParam().failure.finderMissing ? 0u : 1u);
    EXPECT_EQ(run.finder.liveObjects, 0u);
}

INSTANTIATE_TEST_SUITE_P(Steps, FailedLookup, testing::ValuesIn(FailureRuns()), zorva_test::CaseName());

}  // namespace
