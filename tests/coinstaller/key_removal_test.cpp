// The recursive key removal, called directly (it is not exported) on a scratch root key:
// HKCU\Software\ZorvaTestRoot, opened and passed as the root HKEY. Every path is relative
// to that handle, so a removal that strays from its named tree shows up as a change
// anywhere else below the scratch root.

#include "coinstaller/key_removal.h"
#include "common/unique_resource.h"
#include "support/case_name.h"
#include "prefix/plugin_trees.h"
#include "prefix/processes.h"
#include "support/recorder.h"
#include "support/registry_guard.h"
#include "prefix/zorva_dll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace zorva_test;

constexpr wchar_t kScratchPath[] = L"Software\\ZorvaTestRoot";

// Windows limits a key name to 255 characters (Wine allows 256); longer paths need depth.
const std::wstring kName255a(255, L'a');
const std::wstring kName255b(255, L'b');
const std::wstring kName255c(255, L'c');

// 519 characters: the longest path the removal's 520-character buffer holds.
const std::wstring kFullLengthPath = L"Long\\" + kName255a + L"\\" + kName255b + L"\\cc";

struct WorkerRun {
    bool result;
    std::wstring handedBack;  // what the buffer holds afterwards
    bool withinBuffer;        // the guard area after the declared capacity is untouched
};

// Runs the worker on `path` in a buffer of exactly the capacity it declares, followed by a
// guard area.
WorkerRun DeleteKeyTreeInItsBuffer(HKEY root, const std::wstring& path)
{
    constexpr wchar_t kGuard = 0xFDFD;
    struct { zorva::RemovalPathBuffer path; wchar_t guard[1024]; } buffer;
    std::fill(std::begin(buffer.guard), std::end(buffer.guard), kGuard);
    path.copy(buffer.path, path.size());
    buffer.path[path.size()] = L'\0';
    const bool result = zorva::DeleteKeyTree(root, buffer.path);
    return {result, buffer.path,
            std::all_of(std::begin(buffer.guard), std::end(buffer.guard), [](wchar_t unit) { return unit == kGuard; })};
}

class KeyRemoval : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kScratchPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  root_.put(), nullptr),
                  ERROR_SUCCESS);
    }

    HKEY Root() const { return root_.get(); }

    // Creates every key of `tree` (paths relative to the scratch root) with its values.
    void Plant(const RegTree& tree) { ASSERT_EQ(WriteTree(Root(), L"", tree), ERROR_SUCCESS); }

    // Everything below the scratch root, the root's own values included.
    RegTree Everything() const { return SnapshotTree(Root(), L""); }

    RegistryGuard scratch_{HKEY_CURRENT_USER, kScratchPath};
    zorva::UniqueHkey root_;
};

// --- Ordinary trees ----------------------------------------------------------------------

TEST_F(KeyRemoval, MissingKeyCountsAsRemovedAndNothingChanges)
{
    Plant({{L"Tree", {{L"v", StringValue(L"1")}}}, {L"Tree\\Leaf", {{L"", StringValue(L"2")}}}, {L"Tre2", {}}});
    const RegTree before = Everything();

    for (const wchar_t* path : {L"Absent", L"Absent\\Deeper", L"Tree\\Absent", L"Tree\\Leaf\\Absent", L"Tre"}) {
        SCOPED_TRACE(testing::Message() << "path " << path);
        EXPECT_TRUE(zorva::RemovePlugInKeys(Root(), path));
        EXPECT_EQ(DescribeTree(Everything()), DescribeTree(before));
    }
}

TEST_F(KeyRemoval, LeafKeyIsDeletedWithItsValues)
{
    Plant({{L"Tree", {{L"v", StringValue(L"1")}}},
           {L"Tree\\Lea", {}},
           {L"Tree\\Leaf", {{L"", StringValue(L"default")}, {L"named", StringValue(L"x")}}},
           {L"Tree\\Leaf2", {{L"v", StringValue(L"3")}}}});
    const RegTree before = Everything();

    EXPECT_TRUE(zorva::RemovePlugInKeys(Root(), L"Tree\\Leaf"));
    EXPECT_EQ(DescribeTree(Everything()), DescribeTree(WithoutSubtree(before, L"Tree\\Leaf")));
}

// The platform calls for a leaf and for a key with a subkey. Each key is opened as itself
// (REG_OPTION_OPEN_LINK), for reading and deletion, and deleted through its handle, which is
// closed after that delete: by its path the key would be looked up afresh, and a link in
// its place followed. A leaf goes with the first delete, without enumeration.
TEST_F(KeyRemoval, LeafAndInnerKeyAreRemovedWithTheDesignedCalls)
{
    Plant({{L"Leaf", {{L"v", StringValue(L"1")}}}, {L"Tree\\a", {}}});
    PlatformRecorder recorder(GetModuleHandleW(nullptr), {"lstrlenW", "RegOpenKeyExW", "NtDeleteKey",
                                                          "RegQueryValueExW", "RegEnumKeyExW", "RegCloseKey"});
    const auto texts = [&recorder] {
        std::vector<std::string> texts;
        for (const PlatformCall& call : recorder.Calls()) {
            texts.push_back(call.Text());
        }
        return testing::PrintToString(texts);
    };

    recorder.Restart();
    EXPECT_TRUE(zorva::RemovePlugInKeys(Root(), L"Leaf"));
    EXPECT_EQ(texts(), testing::PrintToString(std::vector<std::string>{
                           "lstrlenW(\"Leaf\") = 4",
                           "RegOpenKeyExW(#1, \"Leaf\", 0x8, 0x30019, &key, -> #2) = 0",
                           "NtDeleteKey(#2) = 0",
                           "RegCloseKey(#2) = 0",
                       }));

    recorder.Restart();
    EXPECT_TRUE(zorva::RemovePlugInKeys(Root(), L"Tree"));
    EXPECT_EQ(texts(), testing::PrintToString(std::vector<std::string>{
                           "lstrlenW(\"Tree\") = 4",
                           "RegOpenKeyExW(#1, \"Tree\", 0x8, 0x30019, &key, -> #2) = 0",
                           "NtDeleteKey(#2) = 0xc0000022",
                           "RegQueryValueExW(#2, \"SymbolicLinkValue\", null, &0x0, null, null, -> 0x0) = 2",
                           "lstrlenW(\"Tree\") = 4",
                           "RegEnumKeyExW(#2, 0x0, #3, &0x104, null, null, null, null, -> \"a\", -> 0x1) = 0",
                           R"(RegOpenKeyExW(#1, "Tree\a", 0x8, 0x30019, &key, -> #4) = 0)",
                           "NtDeleteKey(#4) = 0",
                           "RegCloseKey(#4) = 0",
                           "RegEnumKeyExW(#2, 0x0, #3, &0x104, null, null, null, null, -> 0x104) = 259",
                           "NtDeleteKey(#2) = 0",
                           "RegCloseKey(#2) = 0",
                       }));
}

// Writes `again` (as long as `times` lasts) at each enumeration that finds "Tree\a" gone.
struct Reappearing {
    HKEY root;
    RegTree again;
    int times;
} g_reappearing;

LSTATUS WINAPI EnumerateAfterReappearing(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                                         LPWSTR className, LPDWORD classLength, PFILETIME lastWrite)
{
    Reappearing& state = g_reappearing;
    if (state.times > 0 && !KeyExists(state.root, L"Tree\\a") &&
        WriteTree(state.root, L"", state.again) == ERROR_SUCCESS) {
        --state.times;
    }
    return PlatformRecorder::Real<&::RegEnumKeyExW>()(key, index, name, nameLength, reserved, className, classLength,
                                                      lastWrite);
}

// A child deleted and then listed again is another key by that name, and is deleted too: one
// a writer creates while the removal runs (as often as it likes), or the second copy of a name
// in HKEY_CLASSES_ROOT's merged view, which shows the machine's copy, with a subtree of its
// own, once the per-user copy is gone. Wine does not merge the two: the second copy takes the
// first one's place from inside the enumeration, just where the merged view shows it.
TEST_F(KeyRemoval, ChildListedAgainAfterItsDeletionIsDeletedAgain)
{
    const std::pair<RegTree, int> rows[] = {
        {{{L"Tree\\a", {{L"v", StringValue(L"by a writer")}}}}, 3},
        {{{L"Tree\\a", {{L"v", StringValue(L"machine")}}}, {L"Tree\\a\\shell\\open", {}}, {L"Tree\\a\\x", {}}}, 1},
    };
    for (const auto& [again, times] : rows) {
        SCOPED_TRACE(DescribeTree(again));
        Plant({{L"Tree\\a", {{L"v", StringValue(L"first")}}}, {L"Tree\\b", {}}, {L"Tree2", {}}});
        const RegTree before = Everything();
        PlatformRecorder recorder(GetModuleHandleW(nullptr), {"RegEnumKeyExW"});
        g_reappearing = {Root(), again, times};
        recorder.Replace<&::RegEnumKeyExW>(&EnumerateAfterReappearing);

        EXPECT_TRUE(zorva::RemovePlugInKeys(Root(), L"Tree"));
        EXPECT_EQ(g_reappearing.times, 0);
        EXPECT_EQ(DescribeTree(Everything()), DescribeTree(WithoutSubtree(before, L"Tree")));
        DeleteTree(Root(), L"Tree");
    }
}

TEST_F(KeyRemoval, TrailingBackslashNamesTheSameKey)
{
    Plant({{L"Tree", {{L"v", StringValue(L"1")}}},
           {L"Tree\\a\\b", {{L"", StringValue(L"2")}}},
           {L"Tree2", {}},
           {L"Parent", {{L"v", StringValue(L"3")}}},
           {L"Parent\\Leaf", {{L"", StringValue(L"4")}}},
           {L"Parent\\Leaf2", {}}});

    for (const std::wstring& key : {std::wstring(L"Tree"), std::wstring(L"Parent\\Leaf")}) {
        SCOPED_TRACE(testing::Message() << "key with a subtree or a leaf: " << key);
        const RegTree before = Everything();
        const std::wstring path = key + L"\\";

        EXPECT_TRUE(zorva::RemovePlugInKeys(Root(), path.c_str()));
        EXPECT_EQ(path, key + L"\\");
        EXPECT_EQ(DescribeTree(Everything()), DescribeTree(WithoutSubtree(before, key)));
    }
}

// The worker hands the caller's buffer back with the path it was given, whether it
// succeeded or not; a trailing backslash may be gone.
TEST_F(KeyRemoval, DeleteKeyTreeHandsBackThePathItWasGiven)
{
    struct Case {
        const wchar_t* path;
        bool resistingChild;
        bool expectedResult;
    };
    const Case cases[] = {
        {L"Tree", false, true},
        {L"Tree\\", false, true},
        {L"Tree", true, false},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testing::Message()
                     << testCase.path << (testCase.resistingChild ? " with a resisting child" : ""));
        Plant({{L"Tree\\a\\b", {}}, {L"Tree\\c\\d", {}}});
        const std::wstring given = testCase.path;
        const std::wstring withoutSeparator = given.back() == L'\\' ? given.substr(0, given.size() - 1) : given;
        std::optional<DenyDelete> resisting;
        if (testCase.resistingChild) {
            resisting.emplace(Root(), L"Tree\\c");
        }
        const WorkerRun run = DeleteKeyTreeInItsBuffer(Root(), given);
        resisting.reset();

        EXPECT_EQ(run.result, testCase.expectedResult);
        EXPECT_TRUE(run.withinBuffer) << "characters written past the buffer";
        EXPECT_TRUE(run.handedBack == given || run.handedBack == withoutSeparator)
            << "buffer now holds a different path";
        DeleteTree(Root(), L"Tree");
    }
}

// --- Paths at and beyond the buffer's capacity, and the root itself ------------------------
//
// The removal builds every path in one 520-character buffer. However it treats a path or
// a subtree that does not fit, it must end, it must not write past the buffer, and it must
// not remove anything outside the named tree: cutting such a path short would name another
// key.

// A path one character too long, or far too long: cut to 519 characters, either would name
// the full-length key, a leaf that a single delete would remove.
TEST_F(KeyRemoval, PathLongerThanTheBufferNeverNamesAShorterKey)
{
    Plant({{kFullLengthPath, {{L"v", StringValue(L"full length")}}},
           {kFullLengthPath + L"x\\" + std::wstring(40, L'd'), {{L"v", StringValue(L"named")}}}});

    for (const std::wstring& path : {kFullLengthPath + L"x", kFullLengthPath + L"x\\" + std::wstring(40, L'd')}) {
        SCOPED_TRACE(testing::Message() << path.size() << " characters");
        const RegTree before = Everything();

        const bool result = zorva::RemovePlugInKeys(Root(), path.c_str());
        EXPECT_EQ(result, !KeyExists(Root(), path));
        EXPECT_EQ(DescribeTree(WithoutSubtree(Everything(), path)), DescribeTree(WithoutSubtree(before, path)));
    }
}

TEST_F(KeyRemoval, FullLengthLeafPathIsDeleted)
{
    Plant({{kFullLengthPath, {{L"v", StringValue(L"1")}}}, {kFullLengthPath + L"x", {}}});
    const RegTree before = Everything();

    EXPECT_TRUE(zorva::RemovePlugInKeys(Root(), kFullLengthPath.c_str()));
    EXPECT_EQ(DescribeTree(Everything()), DescribeTree(WithoutSubtree(before, kFullLengthPath)));
}

// The deepest key's path is exactly 519 characters: it fits, and the tree goes.
TEST_F(KeyRemoval, LongestChildPathThatFitsIsDeleted)
{
    const std::wstring deepest = L"Edge\\" + kName255a + L"\\bb\\" + kName255c;
    ASSERT_EQ(deepest.size(), 519u);
    for (bool throughWorker : {false, true}) {
        SCOPED_TRACE(throughWorker ? "DeleteKeyTree" : "RemovePlugInKeys");
        Plant({{deepest, {{L"v", StringValue(L"deepest")}}}, {L"Edge2", {}}});
        const RegTree before = Everything();

        if (throughWorker) {
            const WorkerRun run = DeleteKeyTreeInItsBuffer(Root(), L"Edge");
            EXPECT_TRUE(run.withinBuffer) << "characters written past the buffer";
            EXPECT_TRUE(run.result);
            EXPECT_EQ(run.handedBack, L"Edge");
        } else {
            EXPECT_TRUE(zorva::RemovePlugInKeys(Root(), L"Edge"));
        }
        EXPECT_EQ(DescribeTree(Everything()), DescribeTree(WithoutSubtree(before, L"Edge")));
        DeleteTree(Root(), L"Edge2");
    }
}

// Child paths that outgrow the buffer: below a full-length key, one character beyond it,
// and a foreign subtree three 255-character names deep.
TEST_F(KeyRemoval, ChildPathsBeyondTheBufferEndTheRemovalWithinItsTree)
{
    struct Case {
        const char* name;
        std::wstring path;
        RegTree tree;
    };
    const Case cases[] = {
        {"full-length key with a child",
         kFullLengthPath,
         {{kFullLengthPath, {{L"v", StringValue(L"1")}}}, {kFullLengthPath + L"\\child", {}}}},
        {"child path of 520 characters",
         L"Edge",
         {{L"Edge\\" + kName255a + L"\\bbb\\" + kName255c, {{L"v", StringValue(L"one too long")}}}}},
        {"subtree deeper than the buffer",
         L"Plugins\\Device",
         {{L"Plugins\\Device\\DefaultIcon", {{L"", StringValue(L"icon")}}},
          {L"Plugins\\Device\\" + kName255a + L"\\" + kName255b + L"\\" + kName255c,
           {{L"v", StringValue(L"deep")}}}}},
    };
    const RegTree neighbours = {{L"Plugins", {{L"v", StringValue(L"kept")}}},
                                {L"Plugins\\Device2", {}},
                                {L"Plugins\\Devic", {}},
                                {L"Edge2", {}},
                                {kFullLengthPath + L"x", {}}};

    for (const Case& testCase : cases) {
        for (bool throughWorker : {false, true}) {
            SCOPED_TRACE(testing::Message() << testCase.name << (throughWorker ? ", DeleteKeyTree" : ""));
            Plant(neighbours);
            Plant(testCase.tree);
            const RegTree before = Everything();

            bool result = false;
            if (throughWorker) {
                const WorkerRun run = DeleteKeyTreeInItsBuffer(Root(), testCase.path);
                EXPECT_TRUE(run.withinBuffer) << "characters written past the buffer";
                EXPECT_EQ(run.handedBack, testCase.path);
                result = run.result;
            } else {
                result = zorva::RemovePlugInKeys(Root(), testCase.path.c_str());
            }

            EXPECT_EQ(result, !KeyExists(Root(), testCase.path));
            EXPECT_EQ(DescribeTree(WithoutSubtree(Everything(), testCase.path)),
                      DescribeTree(WithoutSubtree(before, testCase.path)));
            for (const wchar_t* top : {L"Plugins", L"Long", L"Edge", L"Edge2"}) {
                DeleteTree(Root(), top);
            }
        }
    }
}

// An empty path names the root key itself, which must keep its subkeys; a lone backslash
// is no path at all. For the worker, the character just before the empty path is a
// backslash: a removal that looks there for a trailing separator would then build its child
// paths as bare names, the root's own subkeys.
TEST_F(KeyRemoval, EmptyPathLeavesTheRootAndItsSubkeysAlone)
{
    Plant({{L"", {{L"v", StringValue(L"root")}}},
           {L"a", {{L"v", StringValue(L"a")}}},
           {L"a\\b", {}},
           {L"z", {{L"", StringValue(L"z")}}}});
    const RegTree before = Everything();

    for (const wchar_t* path : {L"", L"\\"}) {
        SCOPED_TRACE(testing::Message() << "RemovePlugInKeys(\"" << path << "\")");
        static_cast<void>(zorva::RemovePlugInKeys(Root(), path));
        EXPECT_EQ(DescribeTree(Everything()), DescribeTree(before));
    }

    SCOPED_TRACE("DeleteKeyTree on an empty buffer");
    struct { wchar_t before = L'\\'; zorva::RemovalPathBuffer path = {}; } storage;
    static_cast<void>(zorva::DeleteKeyTree(Root(), storage.path));
    EXPECT_EQ(DescribeTree(Everything()), DescribeTree(before));
}

// --- Hostile trees ------------------------------------------------------------------------
//
// Trees that hold what no Win32 call makes or expects: registry links (to a key outside the
// tree, to an ancestor, to the tree itself, to nothing), names with a NUL, keys that may be
// deleted but not read, and plenty of ordinary oddities. Whatever the tree holds, the removal
// must end, must leave everything outside the named tree exactly as it was (links are never
// followed, by the removal or by the snapshots), and may leave inside only what resisted.
//
// Each case runs twice: through the worker on the scratch root's "Tree", and through the
// shipped DLL's RallyD(DIF_REMOVE), as SetupAPI calls it, with the same tree in both plug-in
// keys in HKEY_CLASSES_ROOT: the real root and paths, every one of them longer.

class HostileTrees;

struct HostileCase {
    const char* name;
    std::function<void(HostileTrees&, const std::wstring& tree)> plant;  // in the named tree
    bool removed;                            // the worker's result; RallyD answers NO_ERROR
    std::vector<std::wstring> survivors;     // the keys left of the named tree, as "Tree\..."
};

void PrintTo(const HostileCase& testCase, std::ostream* out) { *out << testCase.name; }

enum class Way { Worker, EntryPoint };

class HostileTrees : public KeyRemoval, public testing::WithParamInterface<std::tuple<HostileCase, Way>> {
public:
    using KeyRemoval::Plant;
    // A link to root\target, or to the root itself for an empty target.
    void Link(const std::wstring& path, const std::wstring& target)
    {
        CreateLink(Root(), path, NativePath(Root(), L"") + (target.empty() ? L"" : L"\\" + target));
    }
    void ChildNamed(const std::wstring& parent, const std::wstring& name) { CreateChildNamed(Root(), parent, name); }
    template <typename Lock>
    void Locked(const std::wstring& path)
    {
        locks_.push_back(std::make_shared<Lock>(Root(), path));
    }

protected:
    void SetUp() override
    {
        KeyRemoval::SetUp();
        if (ThroughEntryPoint()) {
            root_.reset();
            ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, kPlugInsPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                      root_.put(), nullptr),
                      ERROR_SUCCESS);
            for (const std::wstring& named : Trees()) {
                DeleteTree(Root(), named);
            }
        }
    }

    const HostileCase& Case() const { return std::get<0>(GetParam()); }
    bool ThroughEntryPoint() const { return std::get<1>(GetParam()) == Way::EntryPoint; }

    // The named trees, relative to Root(): the scratch root's "Tree", or both plug-in keys.
    std::vector<std::wstring> Trees() const
    {
        if (!ThroughEntryPoint()) {
            return {L"Tree"};
        }
        return {kHardwareIdentityPath.substr(kPlugInsPath.size() + 1), kDeviceTypePath.substr(kPlugInsPath.size() + 1)};
    }

    // The keys of a named tree, the named key included, each written as below "Tree".
    std::set<std::wstring> KeysOf(const std::wstring& named) const
    {
        std::set<std::wstring> keys;
        for (const auto& [path, values] : SnapshotTree(Root(), named)) {
            keys.insert(path.empty() ? L"Tree" : L"Tree\\" + path);
        }
        return keys;
    }

    RegTree Outside() const
    {
        RegTree outside = Everything();
        for (const std::wstring& named : Trees()) {
            outside = WithoutSubtree(outside, named);
        }
        return outside;
    }

    RegistryGuard plugIns_{HKEY_CLASSES_ROOT, kPlugInsPath};
    ZorvaDll dll_;
    // Destroyed before the guards restore the registry, so that they can.
    std::vector<std::shared_ptr<void>> locks_;
};

const RegTree kVictim = {{L"Victim", {{L"v", StringValue(L"victim")}}},
                         {L"Victim\\a", {{L"", StringValue(L"a")}}},
                         {L"Victim\\b\\c", {}},
                         {L"Tree2\\x", {}},
                         {L"Tre", {}}};

const HostileCase kHostileCases[] = {
    // The device-type tree as registered, with foreign keys deeper still, among neighbours
    // whose names differ from it by one character (in kVictim).
    {"RegisteredTreeWithForeignKeys",
     [](HostileTrees& t, const std::wstring& tree) {
         for (const auto& [relative, values] : ExpectedDeviceTypeTree(CaptionRowFor(L"EN-US"))) {
             t.Plant({{relative.empty() ? tree : tree + L"\\" + relative, values}});
         }
         t.Plant({{tree + L"\\shell\\Open\\command\\x\\y\\z", {{L"", StringValue(L"foreign")}}}});
     },
     true,
     {}},
    // A key that refuses deletion two levels down. Wine and Windows both enumerate subkeys in
    // alphabetical order: the removal meets a, then b\a, then b\b, which resists once its
    // subkey is gone; b\c and c are not reached.
    {"ResistingSubkey",
     [](HostileTrees& t, const std::wstring& tree) {
         t.Plant({{tree + L"\\a\\x", {}}, {tree + L"\\a\\y\\z", {}}, {tree + L"\\b\\a\\deep", {}},
                  {tree + L"\\b\\b\\inner", {}}, {tree + L"\\b\\c\\deep", {}}, {tree + L"\\c\\x", {}}});
         t.Locked<DenyDelete>(tree + L"\\b\\b");
     },
     false,
     {L"Tree", L"Tree\\b", L"Tree\\b\\b", L"Tree\\b\\c", L"Tree\\b\\c\\deep", L"Tree\\c", L"Tree\\c\\x"}},
    {"LinkToAKeyOutside",
     [](HostileTrees& t, const std::wstring& tree) {
         t.Plant({{tree + L"\\a", {}}, {tree + L"\\m", {}}});
         t.Link(tree + L"\\m\\Link", L"Victim");
     },
     true,
     {}},
    {"LinkToTheParentOfTheTree",
     [](HostileTrees& t, const std::wstring& tree) { t.Link(tree + L"\\Link", L""); },
     true,
     {}},
    {"LinkToTheTreeItself",
     [](HostileTrees& t, const std::wstring& tree) {
         t.Plant({{tree + L"\\a", {}}});
         t.Link(tree + L"\\a\\Link", tree);
     },
     true,
     {}},
    {"DanglingLink", [](HostileTrees& t, const std::wstring& tree) { t.Link(tree + L"\\Link", L"Nowhere"); }, true, {}},
    {"NamedKeyIsALink", [](HostileTrees& t, const std::wstring& tree) { t.Link(tree, L"Victim"); }, true, {}},
    // A link that resists is a key that cannot be deleted: the removal stops there, and
    // its target is neither entered nor touched.
    {"LinkThatResists",
     [](HostileTrees& t, const std::wstring& tree) {
         t.Plant({{tree + L"\\a\\x", {}}, {tree + L"\\c", {}}});
         t.Link(tree + L"\\b", L"Victim");
         t.Locked<DenyDelete>(tree + L"\\b");
     },
     false,
     {L"Tree", L"Tree\\b", L"Tree\\c"}},
    {"NamedLinkThatResists",
     [](HostileTrees& t, const std::wstring& tree) {
         t.Link(tree, L"Victim");
         t.Locked<DenyDelete>(tree);
     },
     false,
     {L"Tree"}},
    // Keys that may be deleted but not read, without subkeys: a key, and a link that goes as
    // the link (its target is a leaf, which a delete by path would take instead).
    {"UnreadableLeaves",
     [](HostileTrees& t, const std::wstring& tree) {
         t.Plant({{tree + L"\\a\\x", {}}, {tree + L"\\b", {{L"v", StringValue(L"b")}}}, {tree + L"\\c", {}}});
         t.Link(tree + L"\\d", L"Victim\\a");
         t.Locked<AllowOnlyDelete>(tree + L"\\b");
         t.Locked<AllowOnlyDelete>(tree + L"\\d");
     },
     true,
     {}},
    // A NUL-terminated path cannot name these: the first is given up on where it stands
    // ("b" comes before it, "c" after), and a name that starts with a NUL would otherwise
    // name the parent itself.
    {"NulInAName",
     [](HostileTrees& t, const std::wstring& tree) {
         t.Plant({{tree + L"\\a\\x", {}}, {tree + L"\\b", {}}, {tree + L"\\c", {}}});
         t.ChildNamed(tree, std::wstring(L"b\0c", 3));
     },
     false,
     {L"Tree", std::wstring(L"Tree\\b\0c", 8), L"Tree\\c"}},
    {"NulFirstInAName",
     [](HostileTrees& t, const std::wstring& tree) { t.ChildNamed(tree + L"\\a", std::wstring(L"\0x", 2)); },
     false,
     {L"Tree", L"Tree\\a", std::wstring(L"Tree\\a\\\0x", 9)}},
    // The longest path, below the device-type key, has 483 characters.
    {"OddNames",
     [](HostileTrees& t, const std::wstring& tree) {
         t.Plant({{tree + L"\\a/b", {}},
                  {tree + L"\\cr\r\nlf", {{L"", StringValue(L"x")}}},
                  {tree + L"\\lone\xD800surrogate", {}},
                  {tree + L"\\" + std::wstring(255, L'n') + L"\\" + std::wstring(150, L'm'), {}},
                  {tree + L"\\ .. \\.", {}}});
     },
     true,
     {}},
    {"ThousandChildren",
     [](HostileTrees& t, const std::wstring& tree) {
         RegTree planted;
         for (int i = 0; i < 1000; ++i) {
             planted[tree + L"\\child" + std::to_wstring(i)];
         }
         t.Plant(planted);
     },
     true,
     {}},
};

TEST_P(HostileTrees, RemovalEndsAndNeverActsOutsideTheNamedTree)
{
    // Every case plants inside the named trees only, and some keys there cannot be read.
    Plant(kVictim);
    const RegTree outside = Outside();
    for (const std::wstring& named : Trees()) {
        Case().plant(*this, named);
    }
    const auto rallyD = dll_.Entry("RallyD");

    bool removed = false;
    DWORD answer = ERROR_GEN_FAILURE;
    RunWithDeadline(
        [&] {
            if (ThroughEntryPoint()) {
                answer = rallyD(DIF_REMOVE, nullptr, nullptr, nullptr);
            } else {
                removed = zorva::RemovePlugInKeys(Root(), L"Tree");
            }
        },
        60000, std::string("removing the trees of case ") + Case().name);

    if (ThroughEntryPoint()) {
        EXPECT_EQ(answer, static_cast<DWORD>(NO_ERROR));
    } else {
        EXPECT_EQ(removed, Case().removed);
    }
    locks_.clear();
    EXPECT_EQ(DescribeTree(Outside()), DescribeTree(outside));
    const std::set<std::wstring> survivors(Case().survivors.begin(), Case().survivors.end());
    for (const std::wstring& named : Trees()) {
        SCOPED_TRACE(testing::Message() << "tree " << named);
        EXPECT_EQ(KeysOf(named), survivors);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileTrees,
                         testing::Combine(testing::ValuesIn(kHostileCases),
                                          testing::Values(Way::Worker, Way::EntryPoint)),
                         [](const testing::TestParamInfo<HostileTrees::ParamType>& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == Way::EntryPoint ? "_ThroughRallyD" : "");
                         });

}  // namespace
