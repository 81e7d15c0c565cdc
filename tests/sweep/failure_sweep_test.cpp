// Every failure path of every entry point. An undisturbed run of the entry point is
// recorded; then each of its platform calls that can fail is failed in turn, once and from
// then on, each time in a run of its own: on a fresh thread, with the DLL loaded afresh (so
// that loading its delay-loaded DLLs can fail too) and a deadline. Every run must end,
// answer as designed, leave the designed best-effort state, and give back every key, BSTR,
// heap block, handle and entry into COM it took. CTest runs each sweep in a process of its
// own.

#include "coinstaller/test_device.h"
#include "common/failure_form.h"
#include "shellverbs/verbs.h"
#include "support/case_name.h"
#include "support/delay_imports.h"
#include "prefix/plugin_trees.h"
#include "prefix/processes.h"
#include "support/recorder.h"
#include "support/registry_guard.h"
#include "prefix/standins_control.h"
#include "prefix/zorva_dll.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace zorva_test;

constexpr DWORD kRunDeadlineMilliseconds = 20000;

// One run of an entry point and what it left.
struct Outcome {
    size_t failed = 0;  // the call failed on purpose (from 1); 0 in an undisturbed run
    Failing mode = Failing::Once;
    std::vector<PlatformCall> calls;
};

struct Sweep {
    std::function<void()> prepare;                 // the state each run starts from
    std::function<void(const ZorvaDll&)> call;     // the entry point, called as its caller does
    std::function<void(const std::vector<PlatformCall>& undisturbed, const Outcome& run)> check;
    std::vector<std::string> loads;                // the DLLs it loads: only those it calls
};

std::string Describe(const std::vector<PlatformCall>& calls)
{
    std::string text;
    for (const PlatformCall& call : calls) {
        text += (call.injected ? "  FAILED " : "  ") + call.Text() + "\n";
    }
    return text;
}

// Runs the entry point once, failing call `failed` (none for 0), and checks what every run
// must leave: no hang, nothing unreleased, no handle more than before. A warming-up run
// only runs: the first call in a process may set up what the platform then keeps.
Outcome RunOnce(const Sweep& sweep, const ZorvaDll& dll, size_t failed, Failing mode, const std::string& what,
                bool warmingUp = false)
{
    sweep.prepare();
    Outcome run{failed, mode, {}};
    PlatformRecorder recorder(dll.Module());
    // The BSTRs the finder hands out are the library's to free.
    const HMODULE finder = GetModuleHandleW(L"zorva_test_upnpfinder.dll");
    if (finder != nullptr) {
        recorder.Attach(finder, {"SysAllocString", "SysAllocStringLen"});
    }
    if (failed != 0) {
        recorder.FailAt(failed, mode);
    }
    // Counted on the run's own thread: a thread that starts or ends holds handles of its own.
    ULONG handlesBefore = 0;
    ULONG handlesAfter = 0;
    const LONG finderObjects = FinderLiveObjectsHere().value_or(0);
    RunWithDeadline(
        [&] {
            handlesBefore = HandlesHeld();
            sweep.call(dll);
            handlesAfter = HandlesHeld();
        },
        kRunDeadlineMilliseconds, what);
    run.calls = recorder.Calls();
    if (warmingUp) {
        return run;
    }
    SCOPED_TRACE(what + ":\n" + Describe(run.calls));
    EXPECT_EQ(testing::PrintToString(recorder.Outstanding()), "{}") << "not released";
    EXPECT_EQ(handlesAfter, handlesBefore) << "handles leaked";
    EXPECT_EQ(FinderLiveObjectsHere().value_or(0), finderObjects) << "finder objects not released";
    return run;
}

// Fails each call of `undisturbed` that can fail and `select` chooses, once and from then
// on, each in a run of `dll` (a freshly loaded library when null); returns the run count.
size_t FailEach(const std::string& name, const Sweep& sweep, const std::vector<PlatformCall>& undisturbed,
                const ZorvaDll* dll, const std::function<bool(const PlatformCall&)>& select)
{
    size_t runs = 0;
    for (size_t k = 1; k <= undisturbed.size() && !testing::Test::HasFailure(); ++k) {
        if (!PlatformRecorder::CanFail(undisturbed[k - 1]) || !select(undisturbed[k - 1])) {
            continue;
        }
        for (Failing mode : {Failing::Once, Failing::FromThenOn}) {
            const std::string what = name + ", call " + std::to_string(k) + " (" + undisturbed[k - 1].Text() +
                                     (mode == Failing::Once ? ") failing once" : ") failing from then on");
            const ZorvaDll fresh;  // not loaded afresh while `dll` holds the library
            const Outcome run = RunOnce(sweep, dll != nullptr ? *dll : fresh, k, mode, what);
            SCOPED_TRACE(what + ":\n" + Describe(run.calls));
            sweep.check(undisturbed, run);
            ++runs;
        }
    }
    return runs;
}

bool Loads(const PlatformCall& call)
{
    return call.function == "LoadLibraryA";
}

void RunSweep(const std::string& name, const Sweep& sweep)
{
    // The first run in a process loads and initialises what the platform then keeps.
    RunOnce(sweep, ZorvaDll(), 0, Failing::Once, name + ", warming up", true);

    // A freshly loaded library loads the DLLs it delay-loads on their first call: those it
    // calls, and only those. Each of them may be missing.
    const Outcome firstCall = RunOnce(sweep, ZorvaDll(), 0, Failing::Once, name + ", freshly loaded");
    std::vector<std::string> loaded;
    for (const PlatformCall& call : firstCall.calls) {
        if (Loads(call)) {
            loaded.push_back(call.arguments);
        }
    }
    EXPECT_EQ(testing::PrintToString(loaded), testing::PrintToString(sweep.loads));
    size_t runs = FailEach(name, sweep, firstCall.calls, nullptr, Loads);

    // Every other call, in the library loaded once: loading it takes longer than a run.
    const ZorvaDll dll;
    RunOnce(sweep, dll, 0, Failing::Once, name + ", binding the delay-loaded functions", true);
    const Outcome undisturbed = RunOnce(sweep, dll, 0, Failing::Once, name + ", undisturbed");
    sweep.check(undisturbed.calls, undisturbed);
    runs += FailEach(name, sweep, undisturbed.calls, &dll, [](const PlatformCall& call) { return !Loads(call); });
    std::printf("%s: %zu platform calls, %zu failure runs\n", name.c_str(), undisturbed.calls.size(), runs);
}

// The position (from 1) of the first call of `function`; past the end when there is none.
size_t Position(const std::vector<PlatformCall>& calls, const std::string& function)
{
    const auto call =
        std::find_if(calls.begin(), calls.end(), [&](const PlatformCall& c) { return c.function == function; });
    return static_cast<size_t>(call - calls.begin()) + 1;
}

bool Performed(const std::vector<PlatformCall>& calls, const std::string& function)
{
    return std::any_of(calls.begin(), calls.end(),
                       [&](const PlatformCall& call) { return call.function == function && !call.injected; });
}

// --- The co-installer -----------------------------------------------------------------------

// Each key and value of `actual` stands as it is in one of the `allowed` trees.
void ExpectOnlyAllowedContent(const RegTree& actual, const std::vector<const RegTree*>& allowed)
{
    // Named members rather than structured bindings, which C++17 lambdas cannot capture.
    for (const auto& keyValues : actual) {
        const std::wstring& key = keyValues.first;
        const auto holds = [&](const RegTree* tree) { return tree->count(key) != 0; };
        EXPECT_TRUE(std::any_of(allowed.begin(), allowed.end(), holds)) << "unexpected key " << Narrow(key);
        for (const auto& namedValue : keyValues.second) {
            const auto& name = namedValue.first;
            const auto& value = namedValue.second;
            const auto holdsValue = [&](const RegTree* tree) {
                const auto found = tree->find(key);
                return found != tree->end() && found->second.count(name) != 0 && found->second.at(name) == value;
            };
            EXPECT_TRUE(std::any_of(allowed.begin(), allowed.end(), holdsValue))
                << "unexpected value \"" << Narrow(name) << "\" of " << Narrow(key);
        }
    }
}

size_t MissingValues(const RegTree& actual, const RegTree& expected)
{
    size_t missing = 0;
    for (const auto& [key, values] : expected) {
        const auto found = actual.find(key);
        for (const auto& [name, value] : values) {
            missing += found == actual.end() || found->second.count(name) == 0 || !(found->second.at(name) == value);
        }
    }
    return missing;
}

// Both trees as they stand below NetworkExplorerPlugins.
RegTree BothTrees(const RegTree& hardwareIdentity, const RegTree& deviceType)
{
    RegTree both = {{L"", {}}};
    const auto add = [&both](const std::wstring& path, const RegTree& tree) {
        const std::wstring name = path.substr(kPlugInsPath.size() + 1);
        for (const auto& [key, values] : tree) {
            both[key.empty() ? name : name + L"\\" + key] = values;
        }
    };
    add(kHardwareIdentityPath, hardwareIdentity);
    add(kDeviceTypePath, deviceType);
    return both;
}

const RegTree kRegistered =
    BothTrees(ExpectedHardwareIdentityTree(), ExpectedDeviceTypeTree(CaptionRowFor(L"EN-US")));

// An earlier installation in German, with keys and values nobody registered at every depth.
RegTree EarlierGermanTrees()
{
    RegTree hardwareIdentity = ExpectedHardwareIdentityTree();
    hardwareIdentity[L"shell\\Open Media Player\\command\\Deeper"][L"x"] = StringValue(L"foreign");
    RegTree deviceType = ExpectedDeviceTypeTree(CaptionRowFor(L"DE-DE"));
    for (const wchar_t* key : {L"shell\\Zzz", L"shell\\Zzz\\a", L"shell\\Zzz\\a\\b"}) {
        deviceType[key];
    }
    deviceType[L"DefaultIcon"][L"Stale"] = StringValue(L"foreign");
    return BothTrees(hardwareIdentity, deviceType);
}
const RegTree kEarlierGerman = EarlierGermanTrees();

class CoInstallerSweep : public testing::Test {
protected:
    static void PlugInsHold(const RegTree& tree)
    {
        DeleteTree(HKEY_CLASSES_ROOT, kPlugInsPath);
        if (WriteTree(HKEY_CLASSES_ROOT, kPlugInsPath, tree) != ERROR_SUCCESS) {
            throw std::runtime_error("cannot write the plug-in trees a run starts from");
        }
    }

    static RegTree PlugIns() { return SnapshotTree(HKEY_CLASSES_ROOT, kPlugInsPath); }

    RegistryGuard plugIns_{HKEY_CLASSES_ROOT, kPlugInsPath};
};

// Over earlier trees: the removal's failures leave some of them, and the registration that
// follows runs, from its start, as from nothing. Whatever fails, nothing is left but
// registered values and what was there before; a call other than an allocation failing once
// costs at most the one value being written: the writes after it are still made. (Out of
// memory ends the registration early.)
TEST_F(CoInstallerSweep, InstallOverEarlierTreesInAnotherLanguage)
{
    RunSweep("install over earlier German trees",
             Sweep{[] { PlugInsHold(kEarlierGerman); },
                   [](const ZorvaDll& dll) {
                       EXPECT_EQ(dll.CoInstall(DIF_INSTALLINTERFACES), static_cast<DWORD>(NO_ERROR));
                   },
                   [](const std::vector<PlatformCall>& undisturbed, const Outcome& run) {
                       const RegTree after = PlugIns();
                       ExpectOnlyAllowedContent(after, {&kRegistered, &kEarlierGerman});
                       if (run.failed == 0) {
                           EXPECT_EQ(DescribeTree(after), DescribeTree(kRegistered));
                       } else if (run.mode == Failing::Once && !PlatformRecorder::IsAllocation(undisturbed[run.failed - 1])) {
                           EXPECT_LE(MissingValues(after, kRegistered), 1u);
                       }
                   },
                   {}});
}

// Nothing is created; a call failing once leaves at most the tree it was removing, as far
// as it resisted: the other tree still goes.
TEST_F(CoInstallerSweep, Remove)
{
    RunSweep("remove", Sweep{[] { PlugInsHold(kEarlierGerman); },
                             [](const ZorvaDll& dll) {
                                 EXPECT_EQ(dll.CoInstall(DIF_REMOVE), static_cast<DWORD>(NO_ERROR));
                             },
                             [](const std::vector<PlatformCall>&, const Outcome& run) {
                                 ExpectOnlyAllowedContent(PlugIns(), {&kEarlierGerman});
                                 const int treesLeft = KeyExists(HKEY_CLASSES_ROOT, kHardwareIdentityPath) +
                                                       KeyExists(HKEY_CLASSES_ROOT, kDeviceTypePath);
                                 if (run.mode == Failing::Once) {
                                     EXPECT_LE(treesLeft, run.failed == 0 ? 0 : 1);
                                 }
                             },
                             {}});
}

// With another unit of the device installed the trees stay: in an undisturbed run, and
// when only giving the device set back fails, after the search. Any other failure is one
// while looking, and the trees go as if no other unit were there (unless allocations keep
// failing, which the removal meets too).
TEST_F(CoInstallerSweep, RemoveBesideAnotherUnit)
{
    DeviceRegistryGuard deviceRegistry;
    TestDevice unit{true};
    const TestDevice otherUnit{true, L"ROOT\\TESTNAS\\0001"};
    RunSweep("remove beside another unit",
             Sweep{[] { PlugInsHold(kEarlierGerman); },
                   [&unit](const ZorvaDll& dll) {
                       EXPECT_EQ(dll.CoInstall(DIF_REMOVE, unit.Set(), unit.Data()), static_cast<DWORD>(NO_ERROR));
                   },
                   [](const std::vector<PlatformCall>& undisturbed, const Outcome& run) {
                       const PlatformCall* failed = run.failed == 0 ? nullptr : &undisturbed[run.failed - 1];
                       if (failed == nullptr || failed->function == "SetupDiDestroyDeviceInfoList") {
                           EXPECT_EQ(DescribeTree(PlugIns()), DescribeTree(kEarlierGerman));
                       } else if (run.mode == Failing::Once || !PlatformRecorder::IsAllocation(*failed)) {
                           EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kHardwareIdentityPath));
                           EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kDeviceTypePath));
                       } else {
                           ExpectOnlyAllowedContent(PlugIns(), {&kEarlierGerman});
                       }
                   },
                   {"\"setupapi.dll\""}});
}

// The parameters are written back with the finish-install action asked for, or, when
// reading or writing them fails, stay as they were.
TEST_F(CoInstallerSweep, FinishInstall)
{
    DeviceRegistryGuard deviceRegistry;
    TestDevice device{false};
    SP_DEVINSTALL_PARAMS_W before = {};
    RunSweep("finish install",
             Sweep{[&] { before = device.SetDistinctiveParams(0); },
                   [&](const ZorvaDll& dll) {
                       EXPECT_EQ(dll.CoInstall(DIF_NEWDEVICEWIZARD_FINISHINSTALL, device.Set(), device.Data()),
                                 static_cast<DWORD>(NO_ERROR));
                   },
                   [&](const std::vector<PlatformCall>&, const Outcome& run) {
                       SP_DEVINSTALL_PARAMS_W expected = before;
                       if (Performed(run.calls, "SetupDiSetDeviceInstallParamsW")) {
                           expected.FlagsEx |= kDiFlagsExFinishInstallAction;
                       }
                       EXPECT_EQ(DescribeParams(device.ReadParams()), DescribeParams(expected));
                       if (!Performed(run.calls, "SetupDiGetDeviceInstallParamsW")) {
                           EXPECT_EQ(Position(run.calls, "SetupDiSetDeviceInstallParamsW"), run.calls.size() + 1)
                               << "parameters written back that could not be read";
                       }
                   },
                   {"\"setupapi.dll\""}});
}

// --- The verbs ------------------------------------------------------------------------------

using VerbEntry = void(CALLBACK*)(HWND, HINSTANCE, LPSTR, int);

// True while a program the shell started for an earlier run is still running.
bool LaunchedProgramRunning()
{
    const zorva::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof(process);
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &process); more;
         more = Process32NextW(snapshot.get(), &process)) {
        if (_wcsicmp(process.szExeFile, L"zorva_test_recorder.exe") == 0) {
            return true;
        }
    }
    return false;
}

// The verb acts (launches or connects) exactly when nothing before its action failed, and
// only after it has left COM. Each run starts when the programs launched before have
// written their records: otherwise they would write them into the next run's stand-ins.
Sweep VerbSweep(const char* entry, const char* action, std::vector<std::string> loads)
{
    return Sweep{[] {
                     for (int wait = 0; wait < 500 && LaunchedProgramRunning(); ++wait) {
                         Sleep(20);
                     }
                     ResetStandins();
                     AddDevice(L"uuid:4d2b0c3e-0000-1000-8000-00113d0a0042", L"http://192.168.1.20:5000/desc.xml");
                     MakeUncServer(L"192.168.1.20");
                 },
                 [entry](const ZorvaDll& dll) {
                     char tail[] = "uuid:4d2b0c3e-0000-1000-8000-00113d0a0042";
                     dll.Entry<VerbEntry>(entry)(nullptr, GetModuleHandleW(nullptr), tail, SW_SHOWNORMAL);
                 },
                 [action](const std::vector<PlatformCall>& undisturbed, const Outcome& run) {
                     const size_t acting = Position(undisturbed, action);
                     ASSERT_LE(acting, undisturbed.size()) << "the undisturbed run does not reach " << action;
                     EXPECT_EQ(Performed(run.calls, action), run.failed == 0 || run.failed > acting);
                     if (Position(run.calls, "CoUninitialize") <= run.calls.size()) {
                         EXPECT_LT(Position(run.calls, "CoUninitialize"), Position(run.calls, action))
                             << "COM still entered when acting";
                     }
                 },
                 std::move(loads)};
}

// Each verb's call that acts, and the DLLs it loads: the device lookup's, and its action's.
Sweep VerbSweep(const zorva::VerbName& verb)
{
    const std::vector<std::string> lookup = {"\"oleaut32.dll\"", "\"ole32.dll\"", "\"winhttp.dll\""};
    switch (verb.verb) {
    case zorva::Verb::Open:
        return VerbSweep(verb.entryPoint, "ShellExecuteExW", {lookup[0], lookup[1], lookup[2], "\"shell32.dll\""});
    case zorva::Verb::Mount:
        return VerbSweep(verb.entryPoint, "WNetUseConnectionW", {lookup[0], lookup[1], lookup[2], "\"mpr.dll\""});
    case zorva::Verb::Download:
        return VerbSweep(verb.entryPoint, "ShellExecuteExW", {"\"shell32.dll\""});
    }
    throw std::invalid_argument(verb.name);
}

class VerbSweeps : public testing::TestWithParam<zorva::VerbName> {
protected:
    void SetUp() override
    {
        // Loaded for good (it pins itself), so that its BSTRs can be watched from the start.
        ASSERT_NE(LoadLibraryW(L"zorva_test_upnpfinder.dll"), nullptr);
    }
};

TEST_P(VerbSweeps, EveryFailurePath)
{
    RunSweep(GetParam().name, VerbSweep(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Verbs, VerbSweeps, testing::ValuesIn(zorva::kVerbNames), zorva_test::CaseName());

// --- DLLs that cannot be loaded ---------------------------------------------------------

// How each delay-loaded function reports failure, as the table of platform calls gives it,
// and whether it returns anything at all.
using zorva::Form;
struct DelayLoaded {
    Form form;
    bool returnsNothing;
};
template <typename Function>
constexpr bool kReturnsNothing = false;
template <typename... Parameters>
constexpr bool kReturnsNothing<void(WINAPI*)(Parameters...)> = true;

const std::map<std::string, DelayLoaded> kDelayLoadedForms = {
#define ZORVA_DELAYED_CALL(dll, function, form, ...) {#function, {Form::form, kReturnsNothing<decltype(&function)>}},
#include "common/platform_calls.inc"
};

// Calls the function in the slot without arguments, which a failure answer ignores: what it
// returned, and the last error it left.
std::pair<INT_PTR, DWORD> CallWithoutArguments(FARPROC* slot)
{
    SetLastError(0);
    const INT_PTR result = reinterpret_cast<INT_PTR(WINAPI*)()>(reinterpret_cast<void*>(*slot))();
    return {result, GetLastError()};
}

// A Win32 error code is no HRESULT, and a failed device set is no null handle.
TEST(DelayLoadFailure, EachFunctionFailsInItsOwnTypeWhenItsDllCannotBeLoaded)
{
    const ZorvaDll dll;  // freshly loaded: nothing is bound yet
    PlatformRecorder recorder(dll.Module(), {"LoadLibraryA"});
    recorder.FailAt(1, Failing::FromThenOn);
    const std::map<std::string, DelayImport> imports = DelayImports(dll.Module());
    EXPECT_EQ(imports.size(), kDelayLoadedForms.size());
    for (const auto& [name, import] : imports) {
        SCOPED_TRACE(name);
        const auto form = kDelayLoadedForms.find(name);
        ASSERT_NE(form, kDelayLoadedForms.end()) << "delay-loaded without a row in the table";
        const auto [result, error] = CallWithoutArguments(import.slot);
        switch (form->second.form) {
        case Form::False:
            EXPECT_EQ(result, 0);
            break;
        case Form::Never:
            EXPECT_TRUE(form->second.returnsNothing || result == 0) << result;
            break;
        case Form::InvalidHandle:
            EXPECT_EQ(result, reinterpret_cast<INT_PTR>(INVALID_HANDLE_VALUE));
            break;
        case Form::Status:
            EXPECT_EQ(static_cast<DWORD>(result), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
            break;
        case Form::Hresult:
            EXPECT_TRUE(FAILED(static_cast<HRESULT>(result))) << result;
            break;
        }
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    }
}

// Both threads find the DLL not loaded yet before either fails to load it.
LONG g_threadsLoading = 0;
HANDLE g_bothLoading = nullptr;

HMODULE WINAPI LoadLibraryFailingTogether(LPCSTR)
{
    if (InterlockedIncrement(&g_threadsLoading) == 2) {
        SetEvent(g_bothLoading);
    }
    WaitForSingleObject(g_bothLoading, 5000);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// The loader's helper keeps the stand-in handle of one thread and frees the other's: a
// handle the library gave it without a reference would cost the library one of its own.
TEST(DelayLoadFailure, TwoThreadsFailingAtOnceLeaveTheLibraryLoaded)
{
    const zorva::UniqueHandle bothLoading(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_bothLoading = bothLoading.get();
    const ZorvaDll dll;
    {
        const ZorvaDll secondReference;
        PlatformRecorder recorder(dll.Module(), {"LoadLibraryA"});
        recorder.Replace<&::LoadLibraryA>(&LoadLibraryFailingTogether);
        FARPROC* slot = DelayImports(dll.Module()).at("WNetUseConnectionW").slot;
        std::thread first([slot] { CallWithoutArguments(slot); });
        std::thread second([slot] { CallWithoutArguments(slot); });
        first.join();
        second.join();
        EXPECT_EQ(g_threadsLoading, 2);
    }
    EXPECT_NE(GetModuleHandleW(kInstalledDllName), nullptr) << "the library was unloaded under its last reference";
}

}  // namespace
