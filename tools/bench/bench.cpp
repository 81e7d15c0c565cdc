// make bench: how long the library's work takes under Wine, each figure against a peer that
// does the same work the platform's own way, and which modules each entry point loads.
//
//   zorva-bench.exe [--emulated] SHIPPED_DLL MODULE_HOST OUTPUT_DIR   (under LC_ALL=en_US.UTF-8)
//
// --emulated: the Wine it runs in is itself run by an emulator (the ARM64 build under
// qemu-user), which sets every time and ratio; its figures are reported without goals.
//
// The variants of a figure run interleaved (A, B, A, B, ...) in this one process, after one
// untimed warm-up round, so that a busy machine slows every side alike. A ratio is taken per
// pair of neighbouring runs and reported as their geometric mean with its 95% confidence
// interval; rounds go on until every interval of a series lies within 5% of its estimate, or
// until the series has had its share of the time. A goal is met only when the whole interval
// meets it and missed only when none of it does; otherwise it is unsettled. What a run needs
// (a key tree, fresh stand-ins) is made before it and what it did is checked after it, both
// untimed: the time of a run that silently did nothing would be worthless.

#include "console/console_text.h"
#include "console/owners.h"
#include "shellverbs/verbs.h"
#include "prefix/plugin_trees.h"
#include "prefix/processes.h"
#include "prefix/registry.h"
#include "prefix/standins_control.h"
#include "prefix/zorva_dll.h"

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace zorva_test;

constexpr wchar_t kUdn[] = L"uuid:4d2b0c3e-0000-1000-8000-00113d0a0042";
constexpr wchar_t kDescriptionUrl[] = L"http://192.168.1.20:5000/desc.xml";
constexpr wchar_t kHost[] = L"192.168.1.20";
constexpr wchar_t kDownloadPage[] = L"http://download.zorva.example/?mod=download&device=zrv";
const std::wstring kTrees[] = {kHardwareIdentityPath, kDeviceTypePath};

// How precise a ratio must be before its series stops, and the time each series may take
// at most (it starts no round that would likely end later), so that make bench takes about
// five minutes on a busy 2-core machine. At least kMinRounds rounds run regardless, so that
// every ratio has an interval.
constexpr double kPrecision = 0.05;
constexpr int kMinRounds = 3;
constexpr double kRemovalCap = 80;  // seconds, for each shape of tree
constexpr double kInstallCap = 15;
constexpr double kVerbCap = 20;  // for each verb

// A round of the removal series runs the small trees several times over: they are cheap and
// their ratios vary more.
struct RemovalSize {
    int keys;
    int runs;  // per round
};
constexpr RemovalSize kRemovalSizes[] = {{100, 4}, {1000, 1}, {10000, 1}};
static_assert(kRemovalSizes[1].runs == kRemovalSizes[2].runs, "the per-key growth pairs their runs round by round");

using UniqueInf = zorva::UniqueAny<HINF, SetupCloseInfFile, zorva::InvalidHandleValue>;

void Check(LSTATUS status, const char* what)
{
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error(std::string(what) + " failed: " + std::to_string(status));
    }
}

double Now()
{
    static const double ticksPerSecond = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    return static_cast<double>(ticks.QuadPart) / ticksPerSecond;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Interval {
    double estimate = NAN, low = NAN, high = NAN;  // low and high: the 95% confidence interval
    size_t pairs = 0;                              // the ratios it rests on
};

// Student's t for a two-sided 95% interval with `df` degrees of freedom; beyond the table, its
// Cornish-Fisher expansion about the normal quantile, off by less than 0.001 there.
double T95(size_t df)
{
    static constexpr double kTable[] = {12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306, 2.262, 2.228,
                                        2.201,  2.179, 2.160, 2.145, 2.131, 2.120, 2.110, 2.101, 2.093, 2.086,
                                        2.080,  2.074, 2.069, 2.064, 2.060, 2.056, 2.052, 2.048, 2.045, 2.042};
    if (df <= std::size(kTable)) {
        return kTable[df - 1];
    }
    const double z = 1.959964;
    const double z3 = z * z * z;
    const double v = static_cast<double>(df);
    return z + (z3 + z) / (4 * v) + (5 * z3 * z * z + 16 * z3 + 3 * z) / (96 * v * v);
}

// The geometric mean of ratios with Student's t-interval on their logarithms: a run that the
// machine slows by half again moves the logarithm as far whether it is this side or the peer.
Interval GeometricMean(const std::vector<double>& ratios)
{
    const size_t n = ratios.size();
    double sum = 0;
    for (const double ratio : ratios) {
        sum += std::log(ratio);
    }
    const double mean = sum / static_cast<double>(n);
    Interval interval;
    interval.estimate = std::exp(mean);
    interval.pairs = n;
    if (n >= 2) {
        double squares = 0;
        for (const double ratio : ratios) {
            squares += (std::log(ratio) - mean) * (std::log(ratio) - mean);
        }
        const double half = T95(n - 1) * std::sqrt(squares / static_cast<double>((n - 1) * n));
        interval.low = std::exp(mean - half);
        interval.high = std::exp(mean + half);
    }
    return interval;
}

bool Precise(const Interval& interval)
{
    return interval.low >= interval.estimate * (1 - kPrecision) &&
           interval.high <= interval.estimate * (1 + kPrecision);
}

std::string Format(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

std::string Duration(double seconds)
{
    if (std::isnan(seconds)) {
        return "";
    }
    return seconds < 1e-3 ? Format("%.1f us", seconds * 1e6)
                          : seconds < 1 ? Format("%.2f ms", seconds * 1e3) : Format("%.3f s", seconds);
}

std::string RatioText(const Interval& ratio)
{
    if (std::isnan(ratio.estimate)) {
        return "";
    }
    return Format("%.2f", ratio.estimate) +
           (std::isnan(ratio.low) ? std::string() : Format(" [%.2f", ratio.low) + Format("-%.2f]", ratio.high));
}

struct Variant {
    std::string name;
    int runs;                       // per round
    std::function<void()> prepare;  // untimed, before each run
    std::function<void()> run;      // timed
    std::function<void()> check;    // untimed, after each run: throws when it did not do its work
};

using Times = std::vector<std::vector<double>>;  // [variant][run], in seconds, in the order run

struct Row {
    std::string figure;
    Interval ratio;                 // this / peer
    double mine = NAN, peer = NAN;  // median seconds
    bool capped = false;  // the series stopped at its time cap before this ratio was precise
    std::string goal;
    std::string note;
    std::string modules;  // the full module list, printed below the table
};

// Runs rounds of the variants until every row `figures` makes of the times has a precise
// ratio, or until the next round would likely end `cap` seconds after the first began. A
// round runs the variants in turn, and again for those of more runs. An untimed warm-up
// round of the variants of the most runs (the quick ones) first pages the code in and grows
// the caches and the registry's structures.
void Measure(std::vector<Row>& rows, const std::vector<Variant>& variants, double cap,
             const std::function<std::vector<Row>(const Times&)>& figures)
{
    Times times(variants.size());
    const auto pass = [&](int run, bool timed) {  // the variants of more than `run` runs, once
        for (size_t i = 0; i < variants.size(); ++i) {
            const Variant& variant = variants[i];
            if (variant.runs <= run) {
                continue;
            }
            variant.prepare();
            const double start = Now();
            variant.run();
            const double seconds = Now() - start;
            try {
                variant.check();
            } catch (const std::exception& error) {
                throw std::runtime_error(variant.name + ": " + error.what());
            }
            if (timed) {
                times[i].push_back(seconds);
            }
        }
    };
    int most = 0;
    for (const Variant& variant : variants) {
        most = std::max(most, variant.runs);
    }
    pass(most - 1, false);
    const double start = Now();
    for (int round = 1;; ++round) {
        const double begin = Now();
        for (int run = 0; run < most; ++run) {
            pass(run, true);
        }
        std::vector<Row> series = figures(times);
        const double now = Now();
        const bool precise =
            std::all_of(series.begin(), series.end(), [](const Row& row) { return Precise(row.ratio); });
        if (round >= kMinRounds && (precise || now + (now - begin) > start + cap)) {
            for (Row& row : series) {
                row.capped = !Precise(row.ratio);
                rows.push_back(row);
            }
            return;
        }
    }
}

// Each of `mine` over its neighbour in `peer`.
Row Ratio(const std::string& figure, const std::vector<double>& mine, const std::vector<double>& peer)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < mine.size(); ++i) {
        ratios.push_back(mine[i] / peer[i]);
    }
    Row row;
    row.figure = figure;
    row.ratio = GeometricMean(ratios);
    row.mine = Median(mine);
    row.peer = Median(peer);
    return row;
}

std::string Goal(bool met, const std::string& goal)
{
    return goal + (met ? " met" : " MISSED");
}

// Met only when the whole interval lies in [lowest, highest], missed only when none of it does.
std::string Goal(const Interval& ratio, double lowest, double highest, const std::string& goal)
{
    if (ratio.high < lowest || ratio.low > highest) {
        return Goal(false, goal);
    }
    return ratio.low >= lowest && ratio.high <= highest ? Goal(true, goal) : goal + " unsettled";
}

DWORD CallCoInstaller(CoInstallerEntry entry, HDEVINFO set, DI_FUNCTION function)
{
    COINSTALLER_CONTEXT_DATA context = {};
    return entry(function, set, nullptr, &context);
}

void RemoveTrees()
{
    for (const std::wstring& tree : kTrees) {
        const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, tree.c_str());
        if (status != ERROR_FILE_NOT_FOUND) {
            Check(status, "RegDeleteTreeW");
        }
    }
}

// --- 1. Removal ---------------------------------------------------------------------------

// root\path with `keys` keys below it, each with up to `branching` children, made breadth
// first (branching >= keys: all directly below the root).
void BuildTree(const std::wstring& path, int keys, int branching)
{
    zorva::UniqueHkey root;
    Check(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_CREATE_SUB_KEY, nullptr, root.put(),
                          nullptr),
          "RegCreateKeyExW");
    std::vector<std::wstring> paths(keys + 1);  // [0] is the root
    for (int i = 1; i <= keys; ++i) {
        const int parent = (i - 1) / branching;
        paths[i] = (parent == 0 ? L"" : paths[parent] + L"\\") + L"k" + std::to_wstring((i - 1) % branching);
        zorva::UniqueHkey key;
        Check(RegCreateKeyExW(root.get(), paths[i].c_str(), 0, nullptr, 0, KEY_READ, nullptr, key.put(), nullptr),
              "RegCreateKeyExW");
    }
}

void RemovalFigures(std::vector<Row>& rows, CoInstallerEntry rallyD, HDEVINFO set)
{
    const auto treesGone = [] {
        for (const std::wstring& tree : kTrees) {
            if (KeyExists(HKEY_CLASSES_ROOT, tree)) {
                throw std::runtime_error("a tree is still there after the removal");
            }
        }
    };
    const auto product = [&] { CallCoInstaller(rallyD, set, DIF_REMOVE); };
    const auto platform = [] {
        for (const std::wstring& tree : kTrees) {
            Check(RegDeleteTreeW(HKEY_CLASSES_ROOT, tree.c_str()), "RegDeleteTreeW");
        }
    };
    RemoveTrees();
    for (const int branching : {0, 10}) {
        const std::string shape = branching == 0 ? "flat" : "10-ary";
        // The sizes take turns as well, so that the per-key growth from 1,000 to 10,000 keys
        // compares runs of the same minute: a machine that gets busier halfway through would
        // otherwise show up as growth.
        std::vector<Variant> variants;
        for (const RemovalSize& size : kRemovalSizes) {
            const auto build = [&size, branching] {
                for (const std::wstring& tree : kTrees) {
                    BuildTree(tree, size.keys, branching == 0 ? size.keys : branching);
                }
            };
            const std::string keys = std::to_string(size.keys) + " keys";
            variants.push_back({"RallyD(DIF_REMOVE), " + keys, size.runs, build, product, treesGone});
            variants.push_back({"RegDeleteTreeW, " + keys, size.runs, build, platform, treesGone});
        }
        const auto figures = [&](const Times& times) {
            std::vector<Row> series;
            for (size_t i = 0; i < std::size(kRemovalSizes); ++i) {
                const int keys = kRemovalSizes[i].keys;
                Row row = Ratio("Removal 2 x " + std::to_string(keys) + " keys, " + shape + ": RallyD / RegDeleteTreeW",
                                times[2 * i], times[2 * i + 1]);
                row.goal = Goal(row.ratio, 0, 0.6, "<= 0.60");
                row.note = Format("%.1f", row.mine / (2 * keys) * 1e6) +
                           Format(" vs %.1f us per key", row.peer / (2 * keys) * 1e6);
                series.push_back(row);
            }
            // Per key, each 10,000-key run over the 1,000-key run of its own round: 1.00 is linear.
            const auto growth = [&](size_t side) {  // 0: RallyD, 1: RegDeleteTreeW
                std::vector<double> large = times[4 + side];
                std::vector<double> small = times[2 + side];
                for (size_t round = 0; round < large.size(); ++round) {
                    large[round] /= 2 * kRemovalSizes[2].keys;
                    small[round] /= 2 * kRemovalSizes[1].keys;
                }
                return Ratio("Removal per key, 10000 / 1000 keys, " + shape + ": RallyD", large, small);
            };
            Row row = growth(0);
            row.goal = Goal(row.ratio, 0.85, 1.15, "0.85-1.15");
            row.note = "RegDeleteTreeW: " + RatioText(growth(1).ratio);
            series.push_back(row);
            return series;
        };
        Measure(rows, variants, kRemovalCap, figures);
    }
}

// --- 2. Installation ----------------------------------------------------------------------

struct Write {
    std::wstring key;  // below HKEY_CLASSES_ROOT
    std::wstring name;
    std::wstring data;
};

// Every value of the two trees as README gives them, with the English captions.
std::vector<Write> ExpectedWrites()
{
    std::vector<Write> writes;
    const RegTree trees[] = {ExpectedHardwareIdentityTree(), ExpectedDeviceTypeTree(CaptionRowFor(L"EN-US"))};
    for (size_t i = 0; i < 2; ++i) {
        for (const auto& [key, values] : trees[i]) {
            for (const auto& [name, value] : values) {
                std::wstring data = CodeUnits(value);
                data.pop_back();  // the stored terminator
                writes.push_back({key.empty() ? kTrees[i] : kTrees[i] + L"\\" + key, name, data});
            }
        }
    }
    return writes;
}

// The same values as an INF AddReg section (flag 0: REG_SZ). SetupAPI reads %x% as a string
// substitution, so a literal % is written %%, and a quote inside quotes "".
std::wstring InfText(const std::vector<Write>& writes)
{
    const auto quoted = [](const std::wstring& text) {
        std::wstring out = L"\"";
        for (const wchar_t c : text) {
            out += c;
            if (c == L'%' || c == L'"') {
                out += c;
            }
        }
        return out + L"\"";
    };
    std::wstring inf = L"\xFEFF[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n"
                       L"[PlugIns]\r\nAddReg=PlugIns.AddReg\r\n\r\n[PlugIns.AddReg]\r\n";
    for (const Write& write : writes) {
        inf += L"HKCR," + quoted(write.key) + L"," + (write.name.empty() ? L"" : quoted(write.name)) +
               L",0x00000000," + quoted(write.data) + L"\r\n";
    }
    return inf;
}

void WriteWholeFile(const std::wstring& path, const void* bytes, size_t size)
{
    const zorva::UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), bytes, static_cast<DWORD>(size), &written, nullptr) || written != size) {
        throw std::runtime_error("cannot write " + Narrow(path) + ": " + std::to_string(GetLastError()));
    }
}

void InstallationFigures(std::vector<Row>& rows, CoInstallerEntry rallyD, HDEVINFO set, const std::wstring& outputDir)
{
    const std::vector<Write> writes = ExpectedWrites();
    const std::wstring infPath = outputDir + L"\\plugins.inf";
    const std::wstring inf = InfText(writes);
    WriteWholeFile(infPath, inf.data(), inf.size() * sizeof(wchar_t));
    const UniqueInf infHandle(SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    if (!infHandle) {
        throw std::runtime_error("SetupOpenInfFileW failed: " + std::to_string(GetLastError()));
    }

    const RegTree expected[] = {ExpectedHardwareIdentityTree(), ExpectedDeviceTypeTree(CaptionRowFor(L"EN-US"))};
    const auto asReadmeSays = [&] {
        for (size_t i = 0; i < 2; ++i) {
            const RegTree written = SnapshotTree(HKEY_CLASSES_ROOT, kTrees[i]);
            if (written != expected[i]) {
                throw std::runtime_error("the tree differs from README's:\n" + DescribeTree(written));
            }
        }
    };
    const auto viaInf = [&] {
        if (!SetupInstallFromInfSectionW(nullptr, infHandle.get(), L"PlugIns", SPINST_REGISTRY, nullptr, nullptr, 0,
                                         nullptr, nullptr, nullptr, nullptr)) {
            throw std::runtime_error("failed: " + std::to_string(GetLastError()));
        }
    };
    const auto plainWrites = [&] {
        for (const Write& write : writes) {
            zorva::UniqueHkey key;
            Check(RegCreateKeyExW(HKEY_CLASSES_ROOT, write.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                  key.put(), nullptr),
                  "RegCreateKeyExW");
            Check(RegSetValueExW(key.get(), write.name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(write.data.c_str()),
                                 static_cast<DWORD>((write.data.size() + 1) * sizeof(wchar_t))),
                  "RegSetValueExW");
        }
    };
    const std::vector<Variant> variants = {
        {"RallyD(DIF_INSTALLINTERFACES)", 1, RemoveTrees, [&] { CallCoInstaller(rallyD, set, DIF_INSTALLINTERFACES); },
         asReadmeSays},
        {"SetupInstallFromInfSectionW", 1, RemoveTrees, viaInf, asReadmeSays},
        {"RegCreateKeyExW+RegSetValueExW", 1, RemoveTrees, plainWrites, asReadmeSays}};
    const auto figures = [&](const Times& times) {
        Row addReg = Ratio("Install from empty: RallyD / INF AddReg", times[0], times[1]);
        addReg.goal = Goal(addReg.ratio, 0, 1.0, "<= 1.00");
        addReg.note = std::to_string(writes.size()) + " REG_SZ values; INF opened once, untimed";
        Row plain = Ratio("Install from empty: RallyD / RegCreateKeyExW+RegSetValueExW", times[0], times[2]);
        return std::vector<Row>{addReg, plain};
    };
    Measure(rows, variants, kInstallCap, figures);
}

// --- 3. The verbs as rundll32 processes ----------------------------------------------------

std::wstring Rundll32(const wchar_t* dll, const wchar_t* entry)
{
    return std::wstring(L"rundll32.exe ") + dll + L"," + entry + L" " + kUdn;
}

void ExpectLaunches(size_t count, const std::wstring& target)
{
    const std::vector<Launch> launches = ReadLaunches();
    if (launches.size() != count || (count == 1 && launches[0].argument != target)) {
        throw std::runtime_error(std::to_string(launches.size()) + " shell launches, expected " +
                                 std::to_string(count) + " of " + Narrow(target));
    }
}

void ExpectConnections(size_t count)
{
    const std::vector<ConnectionRequest> requests = ReadConnectionRequests();
    const std::wstring share = L"\\\\" + std::wstring(kHost) + L"\\Public";
    if (requests.size() != count || (count == 1 && requests[0].remoteName != share)) {
        throw std::runtime_error(std::to_string(requests.size()) + " connection requests, expected " +
                                 std::to_string(count) + " for " + Narrow(share));
    }
}

// A verb's floor probe (bench/probe_*.cpp), and what a run of the verb or its probe must do.
struct VerbCase {
    const wchar_t* probeDll;
    const wchar_t* probeEntry;
    std::function<void()> check;
};

VerbCase VerbCaseOf(zorva::Verb verb)
{
    switch (verb) {
    case zorva::Verb::Open:
        return {L"zorva_bench_probe_open.dll", L"ProbeOpen", [] {
                    ExpectLaunches(1, L"\\\\" + std::wstring(kHost));
                    ExpectConnections(0);
                }};
    case zorva::Verb::Mount:
        return {L"zorva_bench_probe_mount.dll", L"ProbeMount", [] {
                    ExpectLaunches(0, L"");
                    ExpectConnections(1);
                }};
    case zorva::Verb::Download:
        return {L"zorva_bench_probe_install.dll", L"ProbeInstall", [] {
                    ExpectLaunches(1, kDownloadPage);
                    ExpectConnections(0);
                }};
    }
    throw std::invalid_argument("not a verb");
}

// Every verb of the library's list, against its floor probe and an empty entry point.
void VerbFigures(std::vector<Row>& rows)
{
    MakeUncServer(kHost);
    const auto freshStandins = [] {
        ResetStandins();
        AddDevice(kUdn, kDescriptionUrl);
    };
    for (const zorva::VerbName& name : zorva::kVerbNames) {
        const VerbCase verb = VerbCaseOf(name.verb);
        const std::vector<Variant> variants = {
            {name.entryPoint, 1, freshStandins, [&] { RunAndWait(Rundll32(kInstalledDllName, name.wideEntryPoint)); },
             verb.check},
            {"floor probe", 1, freshStandins, [&] { RunAndWait(Rundll32(verb.probeDll, verb.probeEntry)); },
             verb.check},
            {"empty entry point", 1, freshStandins, [] { RunAndWait(Rundll32(L"zorva_bench_empty.dll", L"Empty")); },
             [] {
                 ExpectLaunches(0, L"");
                 ExpectConnections(0);
             }}};
        const auto figures = [&](const Times& times) {
            Row probe = Ratio(std::string(name.entryPoint) + " process / floor probe", times[0], times[1]);
            probe.goal = Goal(probe.ratio, 0, 1.10, "<= 1.10");
            Row empty = Ratio(std::string(name.entryPoint) + " process / empty entry point", times[0], times[2]);
            empty.note = "empty entry point alone: " + Duration(empty.peer);
            return std::vector<Row>{probe, empty};
        };
        Measure(rows, variants, kVerbCap, figures);
    }
}

// --- 4. Size and modules ------------------------------------------------------------------

void ModuleFigures(std::vector<Row>& rows, const std::wstring& dllPath, const std::wstring& hostPath)
{
    WIN32_FILE_ATTRIBUTE_DATA file = {};
    if (!GetFileAttributesExW(dllPath.c_str(), GetFileExInfoStandard, &file)) {
        throw std::runtime_error("cannot read the size of " + Narrow(dllPath));
    }
    const double bytes = static_cast<double>(file.nFileSizeLow);
    Row size;
    size.figure = "Size of " + Narrow(dllPath.substr(dllPath.find_last_of(L"\\/") + 1));
    size.goal = Goal(bytes <= 320 * 1024, "<= 320 KB");
    size.note = Format("%.0f bytes", bytes) + Format(" (%.1f KB)", bytes / 1024);
    rows.push_back(size);

    struct EntryCase {
        std::string name;
        std::wstring arguments;
        bool coInstaller;
    };
    std::vector<EntryCase> entries = {
        {"CoDeviceInstall(DIF_INSTALLINTERFACES)", L"CoDeviceInstall " + std::to_wstring(DIF_INSTALLINTERFACES), true},
        {"CoDeviceInstall(DIF_REMOVE)", L"CoDeviceInstall " + std::to_wstring(DIF_REMOVE), true},
    };
    for (const zorva::VerbName& verb : zorva::kVerbNames) {
        entries.push_back({verb.entryPoint + std::string(" <UDN>"), verb.wideEntryPoint + (L" " + std::wstring(kUdn)), false});
    }
    MakeUncServer(kHost);
    // The host's next line, which must be `step`'s: its modules, and those of them that the
    // co-installer must not load (blank-separated; "" when none).
    const auto parse = [](std::istream& output, const std::string& step) {
        std::string line;
        std::getline(output, line);
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word != step) {
            throw std::runtime_error("the module host did not report its " + step + " step");
        }
        std::pair<std::string, std::string> listAndWatched;
        while (words >> word) {
            listAndWatched.first += (listAndWatched.first.empty() ? "" : " ") + word;
            for (const char* watched : {"shell32.dll", "ole32.dll", "oleaut32.dll", "winhttp.dll", "mpr.dll"}) {
                listAndWatched.second += word == watched ? " " + word : "";
            }
        }
        return listAndWatched;
    };
    const auto summary = [](const std::pair<std::string, std::string>& modules) {
        const std::string& list = modules.first;
        const long count = list.empty() ? 0 : 1 + std::count(list.begin(), list.end(), ' ');
        return std::to_string(count) + " modules" + (modules.second.empty() ? "" : ", watched:" + modules.second);
    };
    for (const EntryCase& entry : entries) {
        ResetStandins();
        AddDevice(kUdn, kDescriptionUrl);
        std::istringstream output(RunAndCapture(L"\"" + hostPath + L"\" " + entry.arguments, StandardError::Passed).output);
        const auto load = parse(output, "load");
        const auto call = parse(output, "call");
        if (&entry == &entries[0]) {
            Row loading;
            loading.figure = "Modules loading the DLL adds (beyond the empty DLL)";
            loading.modules = load.first.empty() ? "(none)" : load.first;
            loading.note = summary(load);
            rows.push_back(loading);
        }
        Row row;
        row.figure = "Modules the call adds: " + entry.name;
        row.modules = call.first.empty() ? "(none)" : call.first;
        row.note = summary(call);
        if (entry.coInstaller) {
            // What the entry point costs SetupAPI's process: the DLL's load and the call.
            row.goal = Goal(load.second.empty() && call.second.empty(), "none watched");
        }
        rows.push_back(row);
    }
}

// --- The report ---------------------------------------------------------------------------

std::string PairsText(const Row& row)
{
    return row.ratio.pairs == 0 ? "" : std::to_string(row.ratio.pairs) + (row.capped ? " at cap" : "");
}

void PrintTable(const std::vector<Row>& rows)
{
    const char* format = "%-62s %-18s %-10s %10s %10s  %-19s %s\n";
    std::printf("\n");
    std::printf(format, "Figure (this / peer)", "Ratio [95% CI]", "Pairs", "This", "Peer", "Goal", "Note");
    for (const Row& row : rows) {
        std::printf(format, row.figure.c_str(), RatioText(row.ratio).c_str(), PairsText(row).c_str(),
                    Duration(row.mine).c_str(), Duration(row.peer).c_str(), row.goal.c_str(), row.note.c_str());
    }
    std::printf("\n\"at cap\": the series stopped at its time cap before this interval was within %.0f%% of the "
                "ratio.\n\nModules added (lower case):\n",
                kPrecision * 100);
    for (const Row& row : rows) {
        if (!row.modules.empty()) {
            std::printf("  %s:\n    %s\n", row.figure.c_str(), row.modules.c_str());
        }
    }
}

void WriteCsv(const std::vector<Row>& rows, const std::wstring& path)
{
    const auto text = [](const std::string& value) {
        std::string out = "\"";
        for (const char c : value) {
            out += c == '"' ? std::string("\"\"") : std::string(1, c);
        }
        return out + "\"";
    };
    const auto number = [](double value) { return std::isnan(value) ? std::string() : Format("%.6g", value); };
    std::string csv = "figure,ratio,ratio_ci95_low,ratio_ci95_high,pairs,stopped_at_cap,this_median_s,peer_median_s,"
                      "goal,note,modules\r\n";
    for (const Row& row : rows) {
        const Interval& ratio = row.ratio;
        csv += text(row.figure) + "," + number(ratio.estimate) + "," + number(ratio.low) + "," + number(ratio.high) +
               "," + (ratio.pairs == 0 ? "," : std::to_string(ratio.pairs) + (row.capped ? ",yes" : ",no")) + "," +
               number(row.mine) + "," + number(row.peer) + "," + text(row.goal) + "," + text(row.note) + "," +
               text(row.modules) + "\r\n";
    }
    WriteWholeFile(path, csv.data(), csv.size());
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    zorva_tools::HandleCrashes();
    const bool emulated = argc > 1 && std::wstring_view(argv[1]) == L"--emulated";
    if (emulated) {
        --argc;
        ++argv;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: zorva-bench.exe [--emulated] SHIPPED_DLL MODULE_HOST OUTPUT_DIR\n");
        return 2;
    }
    const double start = Now();
    std::vector<Row> rows;
    bool failed = false;
    const auto figure = [&](const char* name, const std::function<void()>& measure) {
        std::printf("%s ...", name);
        std::fflush(stdout);
        const double begin = Now();
        try {
            measure();
        } catch (const std::exception& error) {
            failed = true;
            Row row;
            row.figure = std::string(name) + ": FAILED";
            row.note = error.what();
            rows.push_back(row);
        }
        std::printf(" %.0f s\n", Now() - begin);
    };
    try {
        if (GetACP() != 1252) {
            throw std::runtime_error("run under LC_ALL=en_US.UTF-8: the INF holds the English captions");
        }
        const ZorvaDll dll;
        const CoInstallerEntry rallyD = dll.Entry("RallyD");
        const zorva::UniqueDevInfo set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
        figure("Removal", [&] { RemovalFigures(rows, rallyD, set.get()); });
        figure("Installation", [&] { InstallationFigures(rows, rallyD, set.get(), argv[3]); });
        RemoveTrees();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zorva-bench: %s\n", error.what());
        return 1;
    }
    figure("Verbs", [&] { VerbFigures(rows); });
    figure("Size and modules", [&] { ModuleFigures(rows, argv[1], argv[2]); });

    if (emulated) {
        for (Row& row : rows) {
            row.goal = "none: emulated";
        }
    }
    PrintTable(rows);
    const std::wstring csvPath = std::wstring(argv[3]) + L"\\results.csv";
    WriteCsv(rows, csvPath);
    std::printf("\nCSV: %s\nBenchmark time: %.0f s\n", Narrow(csvPath).c_str(), Now() - start);
    return failed ? 1 : 0;
}
