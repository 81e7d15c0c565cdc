#include "support/registry.h"

#include <sddl.h>

#include <stdexcept>

namespace zorva_test {
namespace {

void Check(LSTATUS status, const char* what)
{
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error(std::string(what) + " failed: " + std::to_string(status));
    }
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
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = ARRAYSIZE(name);
        LSTATUS status = RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        Check(status, "RegEnumKeyExW");
        HKEY child = nullptr;
        Check(RegOpenKeyExW(key, name, 0, KEY_READ, &child), "RegOpenKeyExW");
        SnapshotKey(child, relative.empty() ? name : relative + L"\\" + name, tree);
        RegCloseKey(child);
    }
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

RegTree SnapshotTree(HKEY root, const std::wstring& path)
{
    RegTree tree;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return tree;
    }
    SnapshotKey(key, L"", tree);
    RegCloseKey(key);
    return tree;
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void CreateKey(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    Check(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
          "RegCreateKeyExW");
    RegCloseKey(key);
}

void SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text)
{
    Check(RegSetKeyValueW(root, path.c_str(), name, REG_SZ, text.c_str(),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
          "RegSetKeyValueW");
}

void DeleteTree(HKEY root, const std::wstring& path)
{
    LSTATUS status = RegDeleteTreeW(root, path.c_str());
    if (status == ERROR_SUCCESS) {
        status = RegDeleteKeyW(root, path.c_str());
    }
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        Check(status, "RegDeleteTreeW");
    }
}

namespace {

LSTATUS ApplySecurity(HKEY root, const std::wstring& path, const wchar_t* sddl, SECURITY_INFORMATION what)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return static_cast<LSTATUS>(GetLastError());
    }
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(root, path.c_str(), 0, WRITE_DAC | WRITE_OWNER, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key, what, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    return status;
}

}  // namespace

DenyDelete::DenyDelete(HKEY root, const std::wstring& path) : root_(root), path_(path)
{
    Check(ApplySecurity(root_, path_, L"O:SYD:(D;;SD;;;WD)(A;;KA;;;WD)",
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
          "RegSetKeySecurity");
}

DenyDelete::~DenyDelete()
{
    ApplySecurity(root_, path_, L"D:(A;;KA;;;WD)", DACL_SECURITY_INFORMATION);
}

}  // namespace zorva_test
