#include "prefix/standins_control.h"

#include "standins/standin_keys.h"
#include "standins/standin_registry.h"
#include "prefix/registry.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace zorva_test {
namespace {

zorva::UniqueHkey MustCreate(const wchar_t* path)
{
    zorva::UniqueHkey key = zorva_standin::CreateKey(path);
    if (!key) {
        throw std::runtime_error("cannot create a stand-in key");
    }
    return key;
}

void RegisterFinder()
{
    zorva::UniqueHkey inproc = MustCreate(zorva_standin::kFinderInprocKey);
    zorva_standin::SetString(inproc.get(), L"", zorva_standin::kFinderDllPath);
    zorva_standin::SetString(inproc.get(), L"ThreadingModel", L"Both");
}

std::optional<std::wstring> OptionalString(HKEY key, const wchar_t* name)
{
    std::wstring text;
    if (!zorva_standin::GetString(key, name, text)) {
        return std::nullopt;
    }
    return text;
}

// Every numbered record below `parent`, in the order they were made, each read by `read`
// from its open key.
template <typename Read>
auto ReadRecords(const wchar_t* parent, Read read)
{
    std::vector<decltype(read(HKEY()))> records;
    const zorva::UniqueHkey key = zorva_standin::OpenKey(parent);
    if (!key) {
        return records;
    }
    std::vector<std::wstring> names = SubkeyNames(key.get());
    std::sort(names.begin(), names.end());
    for (const std::wstring& name : names) {
        const zorva::UniqueHkey record = zorva_standin::OpenKey((std::wstring(parent) + L"\\" + name).c_str());
        if (record) {
            records.push_back(read(record.get()));
        }
    }
    return records;
}

}  // namespace

void ResetStandins()
{
    DeleteTree(HKEY_LOCAL_MACHINE, zorva_standin::kRootKey);
    RegisterFinder();
    MustCreate(zorva_standin::kFinderDevicesKey);
    MustCreate(zorva_standin::kProviderCallsKey);
    MustCreate(zorva_standin::kRecorderKey);
}

void AddDevice(const std::wstring& udn, const std::wstring& descriptionUrl)
{
    zorva::UniqueHkey devices = MustCreate(zorva_standin::kFinderDevicesKey);
    zorva_standin::SetString(devices.get(), udn.c_str(), descriptionUrl.data(), descriptionUrl.size());
}

void SetFinderFailure(FinderFailure failure)
{
    static const std::map<FinderFailure, const wchar_t*> kModes = {
        {FinderFailure::FindByUdn, zorva_standin::kFailFindByUdn},
        {FinderFailure::NotFound, zorva_standin::kFailNotFound},
        {FinderFailure::NoDocumentAccess, zorva_standin::kFailNoDocumentAccess},
        {FinderFailure::NoUrl, zorva_standin::kFailNoUrl},
    };
    zorva::UniqueHkey finder = MustCreate(zorva_standin::kFinderKey);
    if (failure == FinderFailure::None) {
        RegDeleteValueW(finder.get(), zorva_standin::kFinderFail);
    } else {
        zorva_standin::SetString(finder.get(), zorva_standin::kFinderFail, kModes.at(failure));
    }
}

FinderActivity ReadFinderActivity()
{
    FinderActivity activity;
    zorva::UniqueHkey finder = zorva_standin::OpenKey(zorva_standin::kFinderKey);
    if (!finder) {
        return activity;
    }
    activity.created = zorva_standin::GetDword(finder.get(), zorva_standin::kFinderCreated, 0);
    activity.findCalls = zorva_standin::GetDword(finder.get(), zorva_standin::kFinderFindCalls, 0);
    activity.lastUdn = OptionalString(finder.get(), zorva_standin::kFinderLastUdn);
    activity.liveObjects = zorva_standin::GetDword(finder.get(), zorva_standin::kFinderLiveObjects, 0);
    return activity;
}

std::optional<LONG> FinderLiveObjectsHere()
{
    HMODULE finder = GetModuleHandleW(zorva_standin::kFinderDllName);
    if (finder == nullptr) {
        return std::nullopt;
    }
    using LiveObjects = LONG(WINAPI*)();
    auto liveObjects = reinterpret_cast<LiveObjects>(
        reinterpret_cast<void*>(GetProcAddress(finder, zorva_standin::kFinderLiveObjectsExport)));
    if (liveObjects == nullptr) {
        throw std::runtime_error("the finder stand-in does not export its live-object count");
    }
    return liveObjects();
}

FinderUnregistered::FinderUnregistered()
{
    DeleteTree(HKEY_LOCAL_MACHINE, zorva_standin::kFinderClsidKey);
}

FinderUnregistered::~FinderUnregistered()
{
    try {
        RegisterFinder();
    } catch (...) {
        // ResetStandins registers it again before the next test.
    }
}

void SetProviderAnswer(DWORD answer)
{
    zorva::UniqueHkey provider = MustCreate(zorva_standin::kProviderKey);
    zorva_standin::SetDword(provider.get(), zorva_standin::kProviderAnswer, answer);
}

void AddShare(const std::wstring& remoteName, const std::wstring& folder)
{
    zorva::UniqueHkey shares = MustCreate(zorva_standin::kProviderSharesKey);
    zorva_standin::SetString(shares.get(), remoteName.c_str(), folder.c_str());
}

std::vector<ConnectionRequest> ReadConnectionRequests()
{
    return ReadRecords(zorva_standin::kProviderCallsKey, [](HKEY record) {
        ConnectionRequest request;
        request.function = OptionalString(record, L"Function").value_or(L"");
        request.remoteName = OptionalString(record, L"RemoteName");
        request.localName = OptionalString(record, L"LocalName");
        request.provider = OptionalString(record, L"Provider");
        request.userName = OptionalString(record, L"UserName");
        request.password = OptionalString(record, L"Password");
        request.type = zorva_standin::GetDword(record, L"Type", 0);
        request.flags = zorva_standin::GetDword(record, L"Flags", 0);
        request.ownerWindow = zorva_standin::GetDword(record, L"OwnerWindow", 0) != 0;
        request.drive = OptionalString(record, zorva_standin::kProviderDrive);
        return request;
    });
}

std::vector<Launch> ReadLaunches()
{
    return ReadRecords(zorva_standin::kRecorderKey, [](HKEY record) {
        Launch launch;
        launch.commandLine = OptionalString(record, L"CommandLine").value_or(L"");
        launch.argument = OptionalString(record, L"Argument").value_or(L"");
        launch.argumentCount = zorva_standin::GetDword(record, L"ArgumentCount", 0);
        const DWORD show = zorva_standin::GetDword(record, L"ShowWindow", zorva_standin::kNoShowWindow);
        if (show != zorva_standin::kNoShowWindow) {
            launch.showWindow = static_cast<WORD>(show);
        }
        return launch;
    });
}

LaunchWaiter::LaunchWaiter() : semaphore_(CreateSemaphoreW(nullptr, 0, 1000, zorva_standin::kRecorderSemaphore))
{
    if (!semaphore_) {
        throw std::runtime_error("CreateSemaphoreW failed: " + std::to_string(GetLastError()));
    }
}

bool LaunchWaiter::WaitForLaunch()
{
    return WaitForSingleObject(semaphore_.get(), 60000) == WAIT_OBJECT_0;
}

void MakeUncServer(const std::wstring& host)
{
    wchar_t prefix[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"WINEPREFIX", prefix, ARRAYSIZE(prefix));
    if (length == 0 || length >= ARRAYSIZE(prefix)) {
        throw std::runtime_error("WINEPREFIX is not set: these tests run under Wine only");
    }
    // Drive Z: is the Unix root in every new prefix. "\\?\" keeps the names as they are:
    // Wine looks "\\nas.example." up in a folder whose name ends in the dot.
    std::wstring path = L"\\\\?\\Z:" + std::wstring(prefix, length);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    for (const wchar_t* part : {L"\\dosdevices", L"\\dosdevices\\unc"}) {
        CreateDirectoryW((path + part).c_str(), nullptr);
    }
    // A "host" with backslashes makes the folders of a whole share path.
    std::wstring folder = path + L"\\dosdevices\\unc";
    size_t start = 0;
    while (start <= host.size()) {
        const size_t end = std::min(host.find(L'\\', start), host.size());
        folder += L"\\" + host.substr(start, end - start);
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            throw std::runtime_error("cannot make the UNC server folder: " + std::to_string(GetLastError()));
        }
        start = end + 1;
    }
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

namespace {

std::string Show(const std::optional<std::wstring>& text)
{
    return text ? "\"" + Narrow(*text) + "\"" : std::string("null");
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const ConnectionRequest& request)
{
    return out << Narrow(request.function) << "(remote " << Show(request.remoteName) << ", local "
               << Show(request.localName) << ", provider " << Show(request.provider) << ", type " << request.type
               << ", flags 0x" << std::hex << request.flags << std::dec << ", user " << Show(request.userName)
               << ", password " << Show(request.password) << ", owner " << (request.ownerWindow ? "set" : "null")
               << ", drive " << Show(request.drive) << ")";
}

std::ostream& operator<<(std::ostream& out, const Launch& launch)
{
    return out << "launch [" << Narrow(launch.commandLine) << "] show "
               << (launch.showWindow ? std::to_string(*launch.showWindow) : std::string("unset"));
}

}  // namespace zorva_test
