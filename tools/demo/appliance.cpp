#include "demo/appliance.h"

#include "console/owners.h"
#include "prefix/standins_control.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace zorva_demo {
namespace {

struct ShareFile {
    const wchar_t* name;
    const char* content;
};

constexpr ShareFile kShareFiles[] = {
    {L"Readme.txt", "Welcome to the Public share of your Zorva KT2HX.\r\n"},
    {L"Meeting notes.txt", "Back up the photo library every Friday.\r\n"},
    {L"Budget 2024.csv", "Item,Amount\r\nDisks,240\r\n"},
};

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + " failed: error " + std::to_string(GetLastError()));
}

void MakeFolder(const std::wstring& folder)
{
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        Fail("creating the share folder " + zorva_test::Narrow(folder));
    }
}

// The share holds exactly its files, whatever an earlier run left there.
void MakeShareFolder()
{
    const std::wstring folder = kShareFolder;
    MakeFolder(folder.substr(0, folder.find_last_of(L'\\')));
    MakeFolder(folder);
    for (const std::wstring& name : ListFolder(folder)) {
        if (!DeleteFileW((folder + L"\\" + name).c_str())) {
            Fail("clearing the share folder");
        }
    }
    for (const ShareFile& file : kShareFiles) {
        const zorva::UniqueFileHandle handle(CreateFileW((folder + L"\\" + file.name).c_str(), GENERIC_WRITE, 0,
                                                         nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle) {
            Fail("creating a file in the share folder");
        }
        DWORD written = 0;
        if (!WriteFile(handle.get(), file.content, static_cast<DWORD>(std::strlen(file.content)), &written, nullptr)) {
            Fail("writing a file in the share folder");
        }
    }
}

}  // namespace

std::vector<std::wstring> ShareFileNames()
{
    std::vector<std::wstring> names;
    for (const ShareFile& file : kShareFiles) {
        names.emplace_back(file.name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void SetUpAppliance()
{
    zorva_test::ResetStandins();
    zorva_test::AddDevice(kUdn, kDescriptionUrl);
    // Wine's shell opens \\host only when the prefix knows the host as a UNC server.
    zorva_test::MakeUncServer(kNetworkRoot + 2);
    MakeShareFolder();
    zorva_test::AddShare(kPublicShare, kShareFolder);
}

std::vector<std::wstring> ListFolder(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry = {};
    const zorva::UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find) {
        Fail("listing " + zorva_test::Narrow(folder));
    }
    std::vector<std::wstring> names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(find.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace zorva_demo
