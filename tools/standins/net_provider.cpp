// Stand-in network provider, loaded by Wine's real mpr router (registered in the prefix
// under Control\NetworkProvider\Order and Services\ZorvaTestNP\NetworkProvider). It records
// every connection request exactly as the router hands it on and answers what the test
// asked for. It connects nothing, except a share that the test backed with a folder: that
// one it maps onto a drive letter, as a real provider would.

#include "console/owners.h"
#include "standins/standin_keys.h"
#include "standins/standin_registry.h"

#include <windows.h>

#include <winioctl.h>
#include <winnetwk.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <npapi.h>
}

namespace zorva_standin {
namespace {

// Any value no real network uses; mpr only keeps it.
constexpr DWORD kNetType = 0x00FE0000;

void SetOptionalString(HKEY key, const wchar_t* name, const wchar_t* text)
{
    if (text != nullptr) {
        SetString(key, name, text);
    }
}

zorva::UniqueHkey Record(const wchar_t* function, HWND owner, const NETRESOURCEW* resource,
                         const wchar_t* password, const wchar_t* userName, DWORD flags)
{
    zorva::UniqueHkey record = CreateNextRecord(kProviderCallsKey);
    if (record) {
        SetString(record.get(), L"Function", function);
        SetDword(record.get(), L"OwnerWindow", owner != nullptr ? 1 : 0);
        SetDword(record.get(), L"Flags", flags);
        SetDword(record.get(), L"HasResource", resource != nullptr ? 1 : 0);
        if (resource != nullptr) {
            SetDword(record.get(), L"Type", resource->dwType);
            SetOptionalString(record.get(), L"RemoteName", resource->lpRemoteName);
            SetOptionalString(record.get(), L"LocalName", resource->lpLocalName);
            SetOptionalString(record.get(), L"Provider", resource->lpProvider);
        }
        SetOptionalString(record.get(), L"UserName", userName);
        SetOptionalString(record.get(), L"Password", password);
    }
    return record;
}

DWORD Answer()
{
    zorva::UniqueHkey settings = OpenKey(kProviderKey);
    return settings ? GetDword(settings.get(), kProviderAnswer, WN_SUCCESS) : WN_SUCCESS;
}

// Wine's mount manager, the one way to add a drive letter that every process of the prefix
// sees: it makes the $WINEPREFIX/dosdevices link. (DefineDosDeviceW does not reach Wine's
// file system at all.) The request is Wine's own extension; its layout is Wine 8's.
constexpr DWORD kDefineUnixDrive = CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
struct UnixDriveRequest {
    ULONG size;
    ULONG type;
    ULONG fsType;
    DWORD serial;
    ULONGLONG unixDevice;
    WCHAR letter;
    USHORT mountPointOffset;  // 0: remove the drive
    USHORT deviceOffset;
    USHORT labelOffset;
};

// Points `letter` at a Unix folder, or removes it when `unixFolder` is empty.
bool DefineUnixDrive(wchar_t letter, const std::string& unixFolder)
{
    const zorva::UniqueFileHandle manager(CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                      nullptr));
    if (!manager) {
        return false;
    }
    std::vector<char> buffer(sizeof(UnixDriveRequest) + unixFolder.size() + 1, '\0');
    UnixDriveRequest request = {};
    request.size = static_cast<ULONG>(buffer.size());
    request.type = DRIVE_REMOTE;
    request.letter = static_cast<WCHAR>(letter | 0x20);
    if (!unixFolder.empty()) {
        request.mountPointOffset = sizeof(UnixDriveRequest);
        std::memcpy(buffer.data() + sizeof(UnixDriveRequest), unixFolder.c_str(), unixFolder.size());
    }
    std::memcpy(buffer.data(), &request, sizeof(request));
    DWORD returned = 0;
    return DeviceIoControl(manager.get(), kDefineUnixDrive, buffer.data(), request.size, nullptr, 0, &returned,
                           nullptr) != FALSE;
}

// The Unix path of a Windows path, from Wine's kernel32 extension.
std::string UnixPath(const std::wstring& windowsPath)
{
    using GetUnixFileName = char*(CDECL*)(const wchar_t*);
    const auto getUnixFileName = reinterpret_cast<GetUnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* path = getUnixFileName != nullptr ? getUnixFileName(windowsPath.c_str()) : nullptr;
    if (path == nullptr) {
        return {};
    }
    std::string copy = path;
    HeapFree(GetProcessHeap(), 0, path);
    return copy;
}

// The local name the router asked for, or the last free letter from Z: down.
wchar_t ChooseLetter(const wchar_t* localName)
{
    const DWORD used = GetLogicalDrives();
    if (localName != nullptr && localName[0] != L'\0') {
        const wchar_t letter = static_cast<wchar_t>(localName[0] & ~0x20);
        return letter >= L'A' && letter <= L'Z' && (used & (1u << (letter - L'A'))) == 0 ? letter : L'\0';
    }
    for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
        if ((used & (1u << (letter - L'A'))) == 0) {
            return letter;
        }
    }
    return L'\0';
}

// Connects a share that the test backed with a folder; any other request connects nothing.
DWORD Connect(const NETRESOURCEW* resource, const zorva::UniqueHkey& record)
{
    std::wstring folder;
    zorva::UniqueHkey shares = OpenKey(kProviderSharesKey);
    if (resource == nullptr || resource->lpRemoteName == nullptr || !shares ||
        !GetString(shares.get(), resource->lpRemoteName, folder)) {
        return WN_SUCCESS;
    }
    const wchar_t letter = ChooseLetter(resource->lpLocalName);
    if (letter == L'\0') {
        return WN_ALREADY_CONNECTED;
    }
    const std::string unixFolder = UnixPath(folder);
    if (unixFolder.empty() || !DefineUnixDrive(letter, unixFolder)) {
        return WN_BAD_NETNAME;
    }
    const wchar_t drive[] = {letter, L':', L'\0'};
    zorva::UniqueHkey drives = CreateKey(kProviderDrivesKey);
    if (drives) {
        SetString(drives.get(), drive, resource->lpRemoteName);
    }
    if (record) {
        SetString(record.get(), kProviderDrive, drive);
    }
    return WN_SUCCESS;
}

DWORD AddConnection(const wchar_t* function, HWND owner, const NETRESOURCEW* resource, const wchar_t* password,
                    const wchar_t* userName, DWORD flags)
{
    const zorva::UniqueHkey record = Record(function, owner, resource, password, userName, flags);
    const DWORD answer = Answer();
    return answer == WN_SUCCESS ? Connect(resource, record) : answer;
}

// Unmaps a drive that Connect mapped.
DWORD Cancel(const wchar_t* name)
{
    std::wstring remote;
    zorva::UniqueHkey drives = OpenKey(kProviderDrivesKey);
    if (name == nullptr || !drives || !GetString(drives.get(), name, remote) || !DefineUnixDrive(name[0], "")) {
        return WN_NOT_CONNECTED;
    }
    RegDeleteValueW(drives.get(), name);
    return WN_SUCCESS;
}

}  // namespace
}  // namespace zorva_standin

extern "C" {

DWORD WINAPI NPGetCaps(DWORD index)
{
    switch (index) {
    case WNNC_SPEC_VERSION:
        return WNNC_SPEC_VERSION51;
    case WNNC_NET_TYPE:
        return zorva_standin::kNetType;
    case WNNC_CONNECTION:
        return WNNC_CON_ADDCONNECTION | WNNC_CON_ADDCONNECTION3 | WNNC_CON_CANCELCONNECTION;
    default:
        // No enumeration, no dialogs, nothing else.
        return 0;
    }
}

DWORD WINAPI NPAddConnection3(HWND owner, LPNETRESOURCEW resource, LPWSTR password, LPWSTR userName, DWORD flags)
{
    return zorva_standin::AddConnection(L"NPAddConnection3", owner, resource, password, userName, flags);
}

DWORD WINAPI NPAddConnection(LPNETRESOURCEW resource, LPWSTR password, LPWSTR userName)
{
    return zorva_standin::AddConnection(L"NPAddConnection", nullptr, resource, password, userName, 0);
}

DWORD WINAPI NPCancelConnection(LPWSTR name, WINBOOL)
{
    return zorva_standin::Cancel(name);
}
}
