#pragma once

// Files of the build tree and of the prefix, read as the test programs under Wine see them.

#include "console/owners.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zorva_test {

// A Unix path of the build tree as Windows programs see it: drive Z: is the Unix root in
// every new prefix.
inline std::wstring WindowsPath(const std::string& unixPath)
{
    std::wstring path(unixPath.size(), L'\0');
    path.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, unixPath.data(), static_cast<int>(unixPath.size()),
                                                        &path[0], static_cast<int>(path.size()))));
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return L"Z:" + path;
}

// The whole content of a file; empty when it cannot be read.
inline std::vector<BYTE> FileBytes(const std::wstring& path)
{
    const zorva::UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<BYTE> bytes;
    BYTE buffer[65536];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.insert(bytes.end(), buffer, buffer + read);
    }
    return bytes;
}

}  // namespace zorva_test
