#pragma once

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

// A key tree, flattened: the path of each key relative to the snapshot's root ("" for the
// root itself) mapped to its values by name ("" is the default value).
using RegTree = std::map<std::wstring, std::map<std::wstring, RegValue>>;

// Reads the whole tree below root\path; empty when the key does not exist.
RegTree SnapshotTree(HKEY root, const std::wstring& path);

bool KeyExists(HKEY root, const std::wstring& path);
void CreateKey(HKEY root, const std::wstring& path);
void SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text);
// Deletes root\path with everything below it, if it exists.
void DeleteTree(HKEY root, const std::wstring& path);

// Makes root\path refuse deletion while reads and writes still work, for as long as the
// object lives. Wine always lets a key's owner delete it, so the owner becomes SYSTEM.
class DenyDelete {
public:
    DenyDelete(HKEY root, const std::wstring& path);
    ~DenyDelete();
    DenyDelete(const DenyDelete&) = delete;
    DenyDelete& operator=(const DenyDelete&) = delete;

private:
    HKEY root_;
    std::wstring path_;
};

}  // namespace zorva_test
