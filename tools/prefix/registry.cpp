#include "prefix/registry.h"

#include "common/unique_resource.h"

#include <sddl.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <stdexcept>

extern "C" NTSTATUS NTAPI NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key, int infoClass, PVOID info, ULONG size, PULONG written);
extern "C" NTSTATUS NTAPI NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG index,
                                      PUNICODE_STRING className, ULONG options, PULONG disposition);

namespace zorva_test {
namespace {

void Check(LSTATUS status, const char* what)
{
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error(std::string(what) + " failed: " + std::to_string(status));
    }
}

// The path of `child` below `parent`; either may be empty.
std::wstring Join(const std::wstring& parent, const std::wstring& child)
{
    return parent.empty() ? child : child.empty() ? parent : parent + L"\\" + child;
}

// The child by its exact name (which may hold any character, a NUL included), a link as the
// link: snapshots and clean-ups of hostile trees must neither miss a key nor leave the tree.
LSTATUS OpenChild(HKEY parent, const std::wstring& name, REGSAM access, zorva::UniqueHkey& child)
{
    UNICODE_STRING counted;
    counted.Buffer = const_cast<wchar_t*>(name.data());
    counted.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    counted.MaximumLength = counted.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE | OBJ_OPENLINK, parent, nullptr);
    return RtlNtStatusToDosError(NtOpenKey(reinterpret_cast<PHANDLE>(child.put()), access, &attributes));
}

void SnapshotKey(HKEY key, const std::wstring& relative, RegTree& tree)
{
    auto& values = tree[relative];
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = ARRAYSIZE(name);
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        Check(status, "RegEnumValueW");
        RegValue value;
        value.type = type;
        value.data.resize(size);
        nameLength = ARRAYSIZE(name);
        Check(RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                            value.data.empty() ? nullptr : value.data.data(), &size),
              "RegEnumValueW");
        values[std::wstring(name, nameLength)] = value;
    }
    for (const std::wstring& name : SubkeyNames(key)) {
        zorva::UniqueHkey child;
        Check(OpenChild(key, name, KEY_READ, child), "NtOpenKey");
        SnapshotKey(child.get(), Join(relative, name), tree);
    }
}

// Deletes the key and everything below it, a link as the link. Subkeys that another process
// adds meanwhile (a stand-in's late record) go too.
LSTATUS DeleteKeyAndSubkeys(HKEY key)
{
    for (std::vector<std::wstring> names; !(names = SubkeyNames(key)).empty();) {
        const std::wstring& name = names.front();
        zorva::UniqueHkey child;
        const LSTATUS opened = OpenChild(key, name, KEY_READ | DELETE, child);
        if (opened != ERROR_SUCCESS) {
            return opened;
        }
        const LSTATUS deleted = DeleteKeyAndSubkeys(child.get());
        if (deleted != ERROR_SUCCESS) {
            return deleted;
        }
    }
    return RtlNtStatusToDosError(NtDeleteKey(key));
}

// DeleteTree without the exception: the first failure, ERROR_SUCCESS also when there was
// no such key. Unlike RegDeleteTreeW it never follows a link, whatever the tree holds.
LSTATUS RemoveTree(HKEY root, const std::wstring& path)
{
    zorva::UniqueHkey key;
    const LSTATUS opened = RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | DELETE, key.put());
    if (opened != ERROR_SUCCESS) {
        return opened == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : opened;
    }
    return DeleteKeyAndSubkeys(key.get());
}

}  // namespace

RegValue StringValue(const std::wstring& text)
{
    RegValue value;
    value.type = REG_SZ;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    value.data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
    return value;
}

std::wstring CodeUnits(const RegValue& value)
{
    std::wstring units(value.data.size() / sizeof(wchar_t), L'\0');
    if (!units.empty()) {
        std::memcpy(&units[0], value.data.data(), units.size() * sizeof(wchar_t));
    }
    return units;
}

RegTree SnapshotTree(HKEY root, const std::wstring& path)
{
    RegTree tree;
    zorva::UniqueHkey key;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return tree;
    }
    SnapshotKey(key.get(), L"", tree);
    return tree;
}

LSTATUS WriteTree(HKEY root, const std::wstring& path, const RegTree& tree)
{
    LSTATUS first = ERROR_SUCCESS;
    auto note = [&first](LSTATUS status) {
        if (first == ERROR_SUCCESS) {
            first = status;
        }
    };
    for (const auto& [relative, values] : tree) {
        zorva::UniqueHkey key;
        const LSTATUS created = RegCreateKeyExW(root, Join(path, relative).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                                nullptr, key.put(), nullptr);
        if (created != ERROR_SUCCESS) {
            note(created);
            continue;
        }
        for (const auto& [name, value] : values) {
            note(RegSetValueExW(key.get(), name.c_str(), 0, value.type, value.data.data(),
                                static_cast<DWORD>(value.data.size())));
        }
    }
    return first;
}

bool RestoreTree(HKEY root, const std::wstring& path, const RegTree& tree)
{
    // What cannot be deleted or written shows in the comparison.
    RemoveTree(root, path);
    if (!tree.empty()) {
        WriteTree(root, path, tree);
    }
    return SnapshotTree(root, path) == tree;
}

std::vector<std::wstring> SubkeyNames(HKEY key)
{
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = ARRAYSIZE(name);
        LSTATUS status = RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        Check(status, "RegEnumKeyExW");
        names.emplace_back(name, nameLength);
    }
    return names;
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    zorva::UniqueHkey key;
    return RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring NativePath(HKEY root, const std::wstring& path)
{
    zorva::UniqueHkey key;
    Check(RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, key.put()), "RegOpenKeyExW");
    // KEY_NAME_INFORMATION: the name's byte count, then the name.
    struct {
        ULONG length;
        wchar_t name[2048];
    } info = {};
    ULONG size = 0;
    constexpr int kKeyNameInformation = 3;
    Check(RtlNtStatusToDosError(NtQueryKey(key.get(), kKeyNameInformation, &info, sizeof(info), &size)),
          "NtQueryKey");
    return std::wstring(info.name, info.length / sizeof(wchar_t));
}

void CreateLink(HKEY root, const std::wstring& path, const std::wstring& target)
{
    zorva::UniqueHkey link;
    Check(RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr, link.put(),
                          nullptr),
          "RegCreateKeyExW(REG_OPTION_CREATE_LINK)");
    // The target's native path, without its terminator.
    Check(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                         static_cast<DWORD>(target.size() * sizeof(wchar_t))),
          "RegSetValueExW(SymbolicLinkValue)");
}

void CreateChildNamed(HKEY root, const std::wstring& parent, const std::wstring& name)
{
    zorva::UniqueHkey parentKey;
    Check(RegCreateKeyExW(root, parent.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, parentKey.put(), nullptr),
          "RegCreateKeyExW");
    UNICODE_STRING counted;
    counted.Buffer = const_cast<wchar_t*>(name.data());
    counted.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    counted.MaximumLength = counted.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, parentKey.get(), nullptr);
    zorva::UniqueHkey child;
    Check(RtlNtStatusToDosError(NtCreateKey(reinterpret_cast<PHANDLE>(child.put()), KEY_ALL_ACCESS, &attributes, 0,
                                            nullptr, 0, nullptr)),
          "NtCreateKey");
}

void CreateKey(HKEY root, const std::wstring& path)
{
    zorva::UniqueHkey key;
    Check(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
          "RegCreateKeyExW");
}

void SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text)
{
    Check(RegSetKeyValueW(root, path.c_str(), name, REG_SZ, text.c_str(),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
          "RegSetKeyValueW");
}

void DeleteTree(HKEY root, const std::wstring& path)
{
    Check(RemoveTree(root, path), "RegDeleteTreeW");
}

RegTree WithoutSubtree(RegTree tree, const std::wstring& path)
{
    for (auto it = tree.begin(); it != tree.end();) {
        const bool below = it->first.size() > path.size() && it->first.compare(0, path.size(), path) == 0 &&
                           it->first[path.size()] == L'\\';
        it = it->first == path || below ? tree.erase(it) : std::next(it);
    }
    return tree;
}

std::string DescribeTree(const RegTree& tree)
{
    // Key paths keep their backslashes; in data a backslash is escaped, so that the text of
    // a stored terminator (\0) cannot be mistaken for data.
    auto utf8 = [](const std::wstring& text, bool isData) {
        std::string out;
        for (wchar_t unit : text) {
            if (unit == L'\0') {
                out += "\\0";
            } else if (unit < 0x20 || (isData && (unit == L'"' || unit == L'\\'))) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned>(unit));
                out += escaped;
            } else {
                char bytes[8];
                int count = WideCharToMultiByte(CP_UTF8, 0, &unit, 1, bytes, sizeof(bytes), nullptr, nullptr);
                if (count > 0) {
                    out.append(bytes, static_cast<size_t>(count));
                } else {
                    std::snprintf(bytes, sizeof(bytes), "\\u%04x", static_cast<unsigned>(unit));
                    out += bytes;
                }
            }
        }
        return out;
    };
    std::string text;
    for (const auto& [path, values] : tree) {
        text += "[" + utf8(path, false) + "]\n";
        for (const auto& [name, value] : values) {
            text += "  " + (name.empty() ? std::string("@") : "\"" + utf8(name, true) + "\"");
            text +=
                " type " + std::to_string(value.type) + ", " + std::to_string(value.data.size()) + " bytes: \"";
            text += utf8(CodeUnits(value), true) + "\"";
            if (value.data.size() % 2 != 0) {
                char last[8];
                std::snprintf(last, sizeof(last), " +%02x", static_cast<unsigned>(value.data.back()));
                text += last;
            }
            text += "\n";
        }
    }
    return text.empty() ? "(no key)\n" : text;
}

namespace {

// Every user's full access, the DACL that both deny helpers give back.
constexpr wchar_t kEveryoneFullAccess[] = L"D:(A;;KA;;;WD)";

LSTATUS ApplySecurity(HKEY root, const std::wstring& path, const wchar_t* sddl, SECURITY_INFORMATION what)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return static_cast<LSTATUS>(GetLastError());
    }
    // The owner of a key that refuses every access still gets WRITE_DAC, and nothing more:
    // ask only for what the change needs.
    const REGSAM access = ((what & DACL_SECURITY_INFORMATION) != 0 ? WRITE_DAC : 0) |
                          ((what & OWNER_SECURITY_INFORMATION) != 0 ? WRITE_OWNER : 0);
    zorva::UniqueHkey key;
    LSTATUS status = RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, access, key.put());
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key.get(), what, descriptor);
    }
    LocalFree(descriptor);
    return status;
}

// Owned by SYSTEM, denying `denied` to everyone and granting the rest.
std::wstring DenyingSddl(REGSAM denied)
{
    wchar_t sddl[64];
    std::swprintf(sddl, std::size(sddl), L"O:SYD:(D;;0x%lx;;;WD)(A;;KA;;;WD)", static_cast<unsigned long>(denied));
    return sddl;
}

}  // namespace

DenyDelete::DenyDelete(HKEY root, const std::wstring& path, REGSAM alsoDenied)
    : DenyDelete(root, path, DenyingSddl(DELETE | alsoDenied).c_str())
{
}

DenyDelete::DenyDelete(HKEY root, const std::wstring& path, const wchar_t* sddl) : root_(root), path_(path)
{
    Check(ApplySecurity(root_, path_, sddl, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
          "RegSetKeySecurity");
}

DenyDelete::~DenyDelete()
{
    ApplySecurity(root_, path_, kEveryoneFullAccess, DACL_SECURITY_INFORMATION);
}

DenyAllAccess::DenyAllAccess(HKEY root, const std::wstring& path)
    : root_(root), path_(path), status_(ApplySecurity(root_, path_, L"D:P(D;;KA;;;WD)", DACL_SECURITY_INFORMATION))
{
}

DenyAllAccess::~DenyAllAccess()
{
    ApplySecurity(root_, path_, kEveryoneFullAccess, DACL_SECURITY_INFORMATION);
}

}  // namespace zorva_test
