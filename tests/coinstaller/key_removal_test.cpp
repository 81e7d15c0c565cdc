// The recursive key removal, called directly (it is not exported) on a scratch root key:
// HKCU\Software\ZorvaTestRoot, opened and passed as the root HKEY. Every path is relative
// to that handle, so a removal that strays from its named tree shows up as a change
// anywhere else below the scratch root.

#include "coinstaller/key_removal.h"
#include "common/unique_resource.h"
#include "support/case_name.h"
#include "support/plugin_trees.h"
#include "support/processes.h"
#include "support/recorder.h"
#include "support/registry_guard.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
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

// Runs the worker on `path` in a buffer of exactly the capacity it declares, followed by a
// guard area; true when the guard area is untouched afterwards.
bool DeleteKeyTreeWithinItsBuffer(HKEY root, const std::wstring& path, bool& result, std::wstring& handedBack)
{
    constexpr wchar_t kGuard = 0xFDFD;
    std::vector<wchar_t> buffer(zorva::kRemovalPathCapacity + 1024, kGuard);
    path.copy(buffer.data(), path.size());
    buffer[path.size()] = L'\0';
    result = zorva::DeleteKeyTree(root, buffer.data());
    handedBack = buffer.data();
    for (size_t index = zorva::kRemovalPathCapacity; index < buffer.size(); ++index) {
        if (buffer[index] != kGuard) {
            return false;
        }
    }
    return true;
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

    bool Exists(const std::wstring& path) const { return KeyExists(Root(), path); }

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

// The device-type tree as registered, with foreign keys deeper still, among neighbours
// whose names differ from it by one character.
TEST_F(KeyRemoval, WholeTreeIsDeletedAndItsNeighboursStay)
{
    const std::wstring plugIns = L"NetworkExplorerPlugins";
    const std::wstring named = kDeviceTypePath;
    for (const auto& [relative, values] : ExpectedDeviceTypeTree(CaptionRowFor(L"EN-US"))) {
        Plant({{relative.empty() ? named : named + L"\\" + relative, values}});
    }
    Plant({{named + L"\\shell\\Open\\command\\x\\y\\z", {{L"", StringValue(L"foreign")}}},
           {plugIns, {{L"", StringValue(L"kept")}, {L"Marker", StringValue(L"kept")}}},
           {named + L"2\\shell", {{L"", StringValue(L"kept")}}},
           {named.substr(0, named.size() - 1), {}},
           {kHardwareIdentityPath + L"\\DefaultIcon", {{L"", StringValue(L"kept")}}}});
    const RegTree before = Everything();

    EXPECT_TRUE(zorva::RemovePlugInKeys(Root(), named.c_str()));
    EXPECT_EQ(DescribeTree(Everything()), DescribeTree(WithoutSubtree(before, named)));
}

// A key that refuses deletion two levels down. Wine and Windows both enumerate subkeys in
// alphabetical order, so the removal meets T\a, then T\b\a, then T\b\b, which resists.
TEST_F(KeyRemoval, ResistingSubkeyStopsTheRemovalWhereItStands)
{
    Plant({{L"T", {{L"v", StringValue(L"T")}}},
           {L"T\\a", {{L"v", StringValue(L"a")}}},
           {L"T\\a\\x", {}},
           {L"T\\a\\y\\z", {{L"", StringValue(L"z")}}},
           {L"T\\b", {{L"v", StringValue(L"b")}}},
           {L"T\\b\\a\\deep", {{L"", StringValue(L"deep")}}},
           {L"T\\b\\b", {{L"v", StringValue(L"resisting")}}},
           {L"T\\b\\b\\inner", {{L"", StringValue(L"inner")}}},
           {L"T\\b\\c\\deep", {{L"", StringValue(L"not reached")}}},
           {L"T\\c\\x", {{L"", StringValue(L"not reached")}}},
           {L"Probe", {}}});
    DenyDelete probe(Root(), L"Probe");
    ASSERT_EQ(RegDeleteKeyW(Root(), L"Probe"), ERROR_ACCESS_DENIED) << "DenyDelete has no effect here";
    DenyDelete resisting(Root(), L"T\\b\\b");
    const RegTree before = Everything();
    const std::wstring path = L"T";

    EXPECT_FALSE(zorva::RemovePlugInKeys(Root(), path.c_str()));

    EXPECT_EQ(path, L"T");
    RegTree expected = before;
    for (const wchar_t* gone : {L"T\\a", L"T\\b\\a", L"T\\b\\b\\inner"}) {
        expected = WithoutSubtree(expected, gone);
    }
    EXPECT_EQ(DescribeTree(Everything()), DescribeTree(expected));
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
                           "RegOpenKeyExW(#1, \"Tree\\\\a\", 0x8, 0x30019, &key, -> #4) = 0",
                           "NtDeleteKey(#4) = 0",
                           "RegCloseKey(#4) = 0",
                           "RegEnumKeyExW(#2, 0x0, #3, &0x104, null, null, null, null, -> 0x104) = 259",
                           "NtDeleteKey(#2) = 0",
                           "RegCloseKey(#2) = 0",
                       }));
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
        bool result = false;
        std::wstring handedBack;
        bool withinBuffer = false;
        if (testCase.resistingChild) {
            DenyDelete resisting(Root(), L"Tree\\c");
            withinBuffer = DeleteKeyTreeWithinItsBuffer(Root(), given, result, handedBack);
        } else {
            withinBuffer = DeleteKeyTreeWithinItsBuffer(Root(), given, result, handedBack);
        }

        EXPECT_EQ(result, testCase.expectedResult);
        EXPECT_TRUE(withinBuffer) << "characters written past the buffer";
        EXPECT_TRUE(handedBack == given || handedBack == withoutSeparator) << "buffer now holds a different path";
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
        EXPECT_EQ(result, !Exists(path));
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
            bool result = false;
            std::wstring handedBack;
            EXPECT_TRUE(DeleteKeyTreeWithinItsBuffer(Root(), L"Edge", result, handedBack))
                << "characters written past the buffer";
            EXPECT_TRUE(result);
            EXPECT_EQ(handedBack, L"Edge");
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
                std::wstring handedBack;
                EXPECT_TRUE(DeleteKeyTreeWithinItsBuffer(Root(), testCase.path, result, handedBack))
                    << "characters written past the buffer";
                EXPECT_EQ(handedBack, testCase.path);
            } else {
                result = zorva::RemovePlugInKeys(Root(), testCase.path.c_str());
            }

            EXPECT_EQ(result, !Exists(testCase.path));
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
        zorva::RemovePlugInKeys(Root(), path);
        EXPECT_EQ(DescribeTree(Everything()), DescribeTree(before));
    }

    SCOPED_TRACE("DeleteKeyTree on an empty buffer");
    std::vector<wchar_t> storage(1 + zorva::kRemovalPathCapacity, L'\0');
    storage[0] = L'\\';
    zorva::DeleteKeyTree(Root(), storage.data() + 1);
    EXPECT_EQ(DescribeTree(Everything()), DescribeTree(before));
}

// --- Hostile trees ------------------------------------------------------------------------
//
// Trees that hold what no Win32 call makes or expects: registry links (to a key outside the
// tree, to an ancestor, to the tree itself, to nothing), names with a NUL, and plenty of
// ordinary oddities. Whatever the tree holds, the removal must end, must leave everything
// outside the named tree ("Tree") exactly as it was (links are never followed, by the
// removal or by the snapshots), and may leave inside only what resisted.

class HostileTrees;

struct HostileCase {
    const char* name;
    std::function<void(HostileTrees&)> plant;
    bool removed;                            // the result, and whether "Tree" is gone
    std::vector<std::wstring> survivors;     // the keys left below the scratch root's "Tree"
};

class HostileTrees : public KeyRemoval, public testing::WithParamInterface<HostileCase> {
public:
    // What links point at: a tree outside the named one, and the scratch root itself.
    std::wstring Outside() const { return NativePath(Root(), L"Victim"); }
    std::wstring Parent() const { return NativePath(Root(), L""); }
    std::wstring Named() const { return NativePath(Root(), L"Tree"); }

    void Link(const std::wstring& path, const std::wstring& target) { CreateLink(Root(), path, target); }
    void Resisting(const std::wstring& path) { resisting_.push_back(std::make_unique<DenyDelete>(Root(), path)); }
    void PlantTree(const RegTree& tree) { Plant(tree); }
    void ChildNamed(const std::wstring& parent, const std::wstring& name) { CreateChildNamed(Root(), parent, name); }

    // The keys below the scratch root's "Tree", "Tree" included.
    std::set<std::wstring> KeysOfTheTree() const
    {
        std::set<std::wstring> keys;
        for (const auto& [path, values] : Everything()) {
            if (path == L"Tree" || path.compare(0, 5, L"Tree\\") == 0) {
                keys.insert(path);
            }
        }
        return keys;
    }

protected:
    // Destroyed before the scratch guard restores the registry, so that it can.
    std::vector<std::unique_ptr<DenyDelete>> resisting_;
};

const RegTree kVictim = {{L"Victim", {{L"v", StringValue(L"victim")}}},
                         {L"Victim\\a", {{L"", StringValue(L"a")}}},
                         {L"Victim\\b\\c", {}},
                         {L"Tree2\\x", {}},
                         {L"Tre", {}}};

const HostileCase kHostileCases[] = {
    {"LinkToAKeyOutside",
     [](HostileTrees& t) {
         t.PlantTree({{L"Tree\\a", {}}, {L"Tree\\m", {}}});
         t.Link(L"Tree\\m\\Link", t.Outside());
     },
     true,
     {}},
    {"LinkToTheParentOfTheTree", [](HostileTrees& t) { t.Link(L"Tree\\Link", t.Parent()); }, true, {}},
    {"LinkToTheTreeItself",
     [](HostileTrees& t) {
         t.PlantTree({{L"Tree\\a", {}}});
         t.Link(L"Tree\\a\\Link", t.Named());
     },
     true,
     {}},
    {"DanglingLink", [](HostileTrees& t) { t.Link(L"Tree\\Link", t.Parent() + L"\\Nowhere"); }, true, {}},
    {"NamedKeyIsALink", [](HostileTrees& t) { t.Link(L"Tree", t.Outside()); }, true, {}},
    // A link that resists is a key that cannot be deleted: the removal stops there, and
    // its target is neither entered nor touched.
    {"LinkThatResists",
     [](HostileTrees& t) {
         t.PlantTree({{L"Tree\\a\\x", {}}, {L"Tree\\c", {}}});
         t.Link(L"Tree\\b", t.Outside());
         t.Resisting(L"Tree\\b");
     },
     false,
     {L"Tree", L"Tree\\b", L"Tree\\c"}},
    {"NamedLinkThatResists",
     [](HostileTrees& t) {
         t.Link(L"Tree", t.Outside());
         t.Resisting(L"Tree");
     },
     false,
     {L"Tree"}},
    // A NUL-terminated path cannot name these: the first is given up on where it stands
    // ("b" comes before it, "c" after), and a name that starts with a NUL would otherwise
    // name the parent itself.
    {"NulInAName",
     [](HostileTrees& t) {
         t.PlantTree({{L"Tree\\a\\x", {}}, {L"Tree\\b", {}}, {L"Tree\\c", {}}});
         t.ChildNamed(L"Tree", std::wstring(L"b\0c", 3));
     },
     false,
     {L"Tree", std::wstring(L"Tree\\b\0c", 8), L"Tree\\c"}},
    {"NulFirstInAName",
     [](HostileTrees& t) { t.ChildNamed(L"Tree\\a", std::wstring(L"\0x", 2)); },
     false,
     {L"Tree", L"Tree\\a", std::wstring(L"Tree\\a\\\0x", 9)}},
    {"OddNames",
     [](HostileTrees& t) {
         t.PlantTree({{L"Tree\\a/b", {}},
                      {L"Tree\\cr\r\nlf", {{L"", StringValue(L"x")}}},
                      {std::wstring(L"Tree\\lone\xD800surrogate"), {}},
                      {L"Tree\\" + std::wstring(255, L'n') + L"\\" + std::wstring(255, L'm'), {}},
                      {L"Tree\\ .. \\.", {}}});
     },
     true,
     {}},
    {"ThousandChildren",
     [](HostileTrees& t) {
         RegTree tree;
         for (int i = 0; i < 1000; ++i) {
             tree[L"Tree\\child" + std::to_wstring(i)];
         }
         t.PlantTree(tree);
     },
     true,
     {}},
};

TEST_P(HostileTrees, RemovalEndsAndNeverActsOutsideTheNamedTree)
{
    Plant(kVictim);
    GetParam().plant(*this);
    const RegTree outside = WithoutSubtree(Everything(), L"Tree");

    bool result = false;
    RunWithDeadline([&] { result = zorva::RemovePlugInKeys(Root(), L"Tree"); }, 60000,
                    std::string("removing the tree of case ") + GetParam().name);

    EXPECT_EQ(result, GetParam().removed);
    EXPECT_EQ(DescribeTree(WithoutSubtree(Everything(), L"Tree")), DescribeTree(outside));
    const std::set<std::wstring> survivors(GetParam().survivors.begin(), GetParam().survivors.end());
    EXPECT_EQ(KeysOfTheTree(), survivors);
    resisting_.clear();
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileTrees, testing::ValuesIn(kHostileCases), zorva_test::CaseName());

}  // namespace
