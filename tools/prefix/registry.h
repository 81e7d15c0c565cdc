#pragma once

// The registry helpers of the tests and the demo: key trees read, written, compared,
// described and deleted, and keys made to refuse access. Failures throw
// std::runtime_error unless a helper says otherwise.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace zorva_test {

struct RegValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    bool operator==(const RegValue& other) const { return type == other.type && data == other.data; }
};

// A REG_SZ value exactly as the registry stores it: the text, its terminator, 2 bytes each.
RegValue StringValue(const std::wstring& text);

// The value's data as UTF-16 code units, a stored terminator included; an odd last byte is
// left out.
std::wstring CodeUnits(const RegValue& value);

// A key tree, flattened: the path of each key relative to the snapshot's root ("" for the
// root itself) mapped to its values by name ("" is the default value). A registry link is
// a key like any other here, with its SymbolicLinkValue: links are never followed.
using RegTree = std::map<std::wstring, std::map<std::wstring, RegValue>>;

// Reads the whole tree below root\path; empty when the key does not exist.
RegTree SnapshotTree(HKEY root, const std::wstring& path);

// Creates every key of `tree` below root\path, with its values. Goes on past a failure and
// returns the first one; ERROR_SUCCESS when everything was written.
LSTATUS WriteTree(HKEY root, const std::wstring& path, const RegTree& tree);

// Makes root\path hold exactly `tree` again, as SnapshotTree took it: no key at all for an
// empty tree. Goes on past a key it cannot delete or write, and returns false when the
// tree there differs from `tree` afterwards.
bool RestoreTree(HKEY root, const std::wstring& path, const RegTree& tree);

// The names of the subkeys of an open key, in the registry's order.
std::vector<std::wstring> SubkeyNames(HKEY key);

bool KeyExists(HKEY root, const std::wstring& path);

// The key's name in the native namespace ("\REGISTRY\MACHINE\..."), the form a link's
// target takes.
std::wstring NativePath(HKEY root, const std::wstring& path);
// Makes root\path a registry link to `target`, a native path (which need not exist).
void CreateLink(HKEY root, const std::wstring& path, const std::wstring& target);
// Creates a subkey of root\parent with any name the native API takes: an embedded NUL, a
// NUL first. Win32 calls cannot make these.
void CreateChildNamed(HKEY root, const std::wstring& parent, const std::wstring& name);
void CreateKey(HKEY root, const std::wstring& path);
void SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text);
// Deletes root\path with everything below it, if it exists; a link as the link.
void DeleteTree(HKEY root, const std::wstring& path);

// `tree` without the key at `path` (relative to the tree's root) and everything below it.
RegTree WithoutSubtree(RegTree tree, const std::wstring& path);

// A registry tree as lines of text, one per key and one per value, so that a failed
// comparison prints a readable line diff. Every code unit of the data is shown (the stored
// terminator as \0) with the value's type and byte count: different trees never give the
// same text.
std::string DescribeTree(const RegTree& tree);

// Makes root\path refuse deletion, and the access rights `alsoDenied`, while every other
// access still works, for as long as the object lives. Wine always lets a key's owner
// delete it, so the owner becomes SYSTEM. Throws when the key cannot be changed.
class DenyDelete {
public:
    DenyDelete(HKEY root, const std::wstring& path, REGSAM alsoDenied = 0);
    ~DenyDelete();
    DenyDelete(const DenyDelete&) = delete;
    DenyDelete& operator=(const DenyDelete&) = delete;

protected:
    DenyDelete(HKEY root, const std::wstring& path, const wchar_t* sddl);

private:
    HKEY root_;
    std::wstring path_;
};

// Makes root\path grant deletion and nothing else (but the DACL change that gives it back),
// as DenyDelete does otherwise.
struct AllowOnlyDelete : DenyDelete {
    AllowOnlyDelete(HKEY root, const std::wstring& path) : DenyDelete(root, path, L"O:SYD:P(A;;SDWD;;;WD)") {}
};

// Makes root\path refuse every access, deletion included, for as long as the object
// lives. The key's owner stays the test's own user: an owner may always rewrite the DACL
// (on Windows and in Wine), which is how the destructor gives the key back. (Making
// SYSTEM the owner as well, as DenyDelete does, would lock the key for good.) Wine grants
// an owner DELETE whatever the DACL says, so only a key with subkeys really resists
// deletion: give the key one. Status() tells whether the key could be changed.
class DenyAllAccess {
public:
    DenyAllAccess(HKEY root, const std::wstring& path);
    ~DenyAllAccess();
    DenyAllAccess(const DenyAllAccess&) = delete;
    DenyAllAccess& operator=(const DenyAllAccess&) = delete;

    LSTATUS Status() const { return status_; }

private:
    HKEY root_;
    std::wstring path_;
    LSTATUS status_;
};

}  // namespace zorva_test
