// device-installer: does for a driver package what Windows' device installer does for a new
// device, one SetupAPI request at a time, so that SetupAPI itself copies the package's
// co-installer, registers it and calls it; and removes such a device again.
//
//   device-installer install <inf> <hardware-id> [<hardware-id>...]
//                                                  a new root device with those hardware IDs,
//                                                  in that order
//   device-installer update <inf> <hardware-id>    installs the driver again on every device
//                                                  with that hardware ID
//   device-installer remove <hardware-id> [<instance-id>]
//                                                  removes every device with that hardware ID,
//                                                  or only the one with that instance ID
//
// It prints one line a step. A step that fails ends the program with exit code 1 and a line
// on standard error that names the step and the error.

#include "console/console_text.h"
#include "console/owners.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <objbase.h>
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using zorva_tools::DescribeError;
using zorva_tools::Say;

// mingw's setupapi.h predates these two.
constexpr DWORD kFlagsExFinishInstallAction = 0x00000008;
constexpr DI_FUNCTION kDifFinishInstallAction = 0x0000002B;

// SetupAPI's own error codes have no message text under Wine.
const wchar_t* SetupApiErrorText(DWORD error)
{
    switch (error) {
    case ERROR_NO_SUCH_DEVINST:
        return L"no such device";
    case ERROR_NO_COMPAT_DRIVERS:
        return L"the package has no driver for this hardware ID";
    case ERROR_NO_DRIVER_SELECTED:
        return L"no driver selected";
    case ERROR_DI_DONT_INSTALL:
        return L"an installer refused the installation";
    default:
        return nullptr;
    }
}

class StepFailed {
public:
    StepFailed(std::wstring step, DWORD error) : step_(std::move(step)), error_(error) {}
    std::wstring Describe() const
    {
        const wchar_t* text = SetupApiErrorText(error_);
        return step_ + L" failed: " + DescribeError(error_) + (text != nullptr ? std::wstring(L": ") + text : L"");
    }

private:
    std::wstring step_;
    DWORD error_;
};

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring InstanceId(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    wchar_t id[MAX_DEVICE_ID_LEN] = {};
    if (!SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr)) {
        throw StepFailed(L"read the device instance ID", GetLastError());
    }
    return id;
}

// Sends one installation request through SetupAPI: to the device's co-installers first,
// then to the class installer or SetupAPI's default action.
void CallInstaller(DI_FUNCTION function, const wchar_t* name, HDEVINFO set, SP_DEVINFO_DATA& device)
{
    if (SetupDiCallClassInstaller(function, set, &device)) {
        return;
    }
    const DWORD error = GetLastError();
    // A request that has no default action and that no installer handled comes back as
    // ERROR_DI_DO_DEFAULT (DIF_ALLOW_INSTALL, DIF_NEWDEVICEWIZARD_FINISHINSTALL, ...):
    // nothing was left to do, which is not a failure.
    if (error != ERROR_DI_DO_DEFAULT) {
        throw StepFailed(name, error);
    }
}

SP_DEVINSTALL_PARAMS_W GetInstallParams(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(set, &device, &params)) {
        throw StepFailed(L"read the device's installation parameters", GetLastError());
    }
    return params;
}

std::vector<std::wstring> ReadMultiString(HKEY key, const wchar_t* name)
{
    DWORD size = 0;
    LSTATUS status = RegGetValueW(key, nullptr, name, RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return {};
    }
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    status = RegGetValueW(key, nullptr, name, RRF_RT_REG_MULTI_SZ, nullptr, &data[0], &size);
    if (status != ERROR_SUCCESS) {
        throw StepFailed(std::wstring(L"read the value ") + name, static_cast<DWORD>(status));
    }
    std::vector<std::wstring> strings;
    for (const wchar_t* item = data.c_str(); *item != L'\0'; item += wcslen(item) + 1) {
        strings.emplace_back(item);
    }
    return strings;
}

// Checks each co-installer that DIF_REGISTER_COINSTALLERS registered for the device the way
// SetupAPI will use it: loaded by file name from the system directory, entry point looked
// up by name. Wine's SetupAPI ignores a file that it could not copy and silently skips a
// co-installer that does not load, where Windows fails the request with
// ERROR_INVALID_COINSTALLER: without this check a broken package would seem to install fine.
void ReportCoInstallers(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    const wchar_t* step = L"DIF_REGISTER_COINSTALLERS";
    const HKEY opened = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
    if (opened == INVALID_HANDLE_VALUE) {
        throw StepFailed(std::wstring(step) + L": open the device's driver key", GetLastError());
    }
    const zorva::UniqueHkey driverKey(opened);
    const std::vector<std::wstring> coInstallers = ReadMultiString(driverKey.get(), L"CoInstallers32");
    if (coInstallers.empty()) {
        Say(std::wstring(step) + L": the package registers no device co-installer");
        return;
    }
    for (const std::wstring& entry : coInstallers) {
        const size_t comma = entry.find(L',');
        const std::wstring file = entry.substr(0, comma);
        const std::wstring function = comma == std::wstring::npos ? L"CoDeviceInstall" : entry.substr(comma + 1);
        const zorva::UniqueModule module(LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
        if (!module) {
            throw StepFailed(std::wstring(step) + L": load the co-installer " + file + L" from the system directory",
                             GetLastError());
        }
        const std::string functionName(function.begin(), function.end());
        if (GetProcAddress(module.get(), functionName.c_str()) == nullptr) {
            throw StepFailed(std::wstring(step) + L": find the entry point \"" + function + L"\" in " + file,
                             GetLastError());
        }
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(module.get(), path, MAX_PATH);
        Say(std::wstring(step) + L": co-installer " + entry + L" registered, installed as " + path);
    }
}

// The driver-installation requests of Windows' device installer, in its order, with the
// driver search limited to the one package.
void InstallDriver(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& infPath)
{
    SP_DEVINSTALL_PARAMS_W params = GetInstallParams(set, device);
    if (infPath.size() >= MAX_PATH) {
        throw StepFailed(L"use the package " + infPath, ERROR_FILENAME_EXCED_RANGE);
    }
    std::fill(std::begin(params.DriverPath), std::end(params.DriverPath), L'\0');
    std::copy(infPath.begin(), infPath.end(), params.DriverPath);
    params.Flags |= DI_ENUMSINGLEINF;
    if (!SetupDiSetDeviceInstallParamsW(set, &device, &params)) {
        throw StepFailed(L"limit the driver search to the package", GetLastError());
    }
    if (!SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER)) {
        throw StepFailed(L"build the list of compatible drivers", GetLastError());
    }
    Say(L"Driver search limited to " + infPath);

    CallInstaller(DIF_SELECTBESTCOMPATDRV, L"DIF_SELECTBESTCOMPATDRV", set, device);
    SP_DRVINFO_DATA_W driver = {};
    driver.cbSize = sizeof(driver);
    if (!SetupDiGetSelectedDriverW(set, &device, &driver)) {
        throw StepFailed(L"DIF_SELECTBESTCOMPATDRV: read the selected driver", GetLastError());
    }
    Say(std::wstring(L"DIF_SELECTBESTCOMPATDRV: selected \"") + driver.Description + L"\" by " + driver.MfgName);

    CallInstaller(DIF_ALLOW_INSTALL, L"DIF_ALLOW_INSTALL", set, device);
    Say(L"DIF_ALLOW_INSTALL: allowed");
    CallInstaller(DIF_INSTALLDEVICEFILES, L"DIF_INSTALLDEVICEFILES", set, device);
    Say(L"DIF_INSTALLDEVICEFILES: driver files installed");
    CallInstaller(DIF_REGISTER_COINSTALLERS, L"DIF_REGISTER_COINSTALLERS", set, device);
    ReportCoInstallers(set, device);
    CallInstaller(DIF_INSTALLINTERFACES, L"DIF_INSTALLINTERFACES", set, device);
    Say(L"DIF_INSTALLINTERFACES: done");
    CallInstaller(DIF_INSTALLDEVICE, L"DIF_INSTALLDEVICE", set, device);
    Say(L"DIF_INSTALLDEVICE: done");
    CallInstaller(DIF_NEWDEVICEWIZARD_FINISHINSTALL, L"DIF_NEWDEVICEWIZARD_FINISHINSTALL", set, device);

    // Windows runs the finish-install action later, once the device has started; Wine never
    // sends it at all. It is due only when an installer asked for it during the wizard.
    if ((GetInstallParams(set, device).FlagsEx & kFlagsExFinishInstallAction) == 0) {
        Say(L"DIF_NEWDEVICEWIZARD_FINISHINSTALL: done, no finish-install action requested");
        return;
    }
    Say(L"DIF_NEWDEVICEWIZARD_FINISHINSTALL: done, finish-install action requested");
    CallInstaller(kDifFinishInstallAction, L"DIF_FINISHINSTALL_ACTION", set, device);
    Say(L"DIF_FINISHINSTALL_ACTION: done");
}

bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& hardwareId)
{
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size);
    if (size == 0) {
        return false;
    }
    std::wstring ids(size / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(&ids[0]), size, nullptr)) {
        return false;
    }
    for (const wchar_t* id = ids.c_str(); *id != L'\0'; id += wcslen(id) + 1) {
        if (CompareStringOrdinal(id, -1, hardwareId.c_str(), -1, TRUE) == CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

// Every device of the system that carries the hardware ID, in a set of all classes.
std::vector<SP_DEVINFO_DATA> FindDevices(HDEVINFO set, const std::wstring& hardwareId)
{
    std::vector<SP_DEVINFO_DATA> found;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        if (HasHardwareId(set, device, hardwareId)) {
            found.push_back(device);
        }
    }
    if (found.empty()) {
        throw StepFailed(L"find a device with hardware ID " + hardwareId, ERROR_NO_SUCH_DEVINST);
    }
    return found;
}

// A set of all the system's devices, of every class.
zorva::UniqueDevInfo AllDevices()
{
    zorva::UniqueDevInfo set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (!set) {
        throw StepFailed(L"list the system's devices", GetLastError());
    }
    return set;
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        throw StepFailed(L"find the package " + path, length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    }
    if (GetFileAttributesW(full) == INVALID_FILE_ATTRIBUTES) {
        throw StepFailed(std::wstring(L"find the package ") + full, GetLastError());
    }
    return full;
}

// Owns an open INF file.
class InfFile {
public:
    explicit InfFile(const std::wstring& path) : inf_(SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr))
    {
        if (inf_ == INVALID_HANDLE_VALUE) {
            throw StepFailed(L"open the package " + path, GetLastError());
        }
    }
    ~InfFile() { SetupCloseInfFile(inf_); }
    InfFile(const InfFile&) = delete;
    InfFile& operator=(const InfFile&) = delete;

    HINF get() const { return inf_; }

private:
    HINF inf_;
};

std::wstring StringField(INFCONTEXT& line, DWORD field)
{
    wchar_t text[LINE_LEN] = {};
    return SetupGetStringFieldW(&line, field, text, LINE_LEN, nullptr) ? text : L"";
}

// Checks that every source file the package lists for this architecture (the undecorated
// section and this platform's own) lies next to its INF (or in the subdirectory the listing
// names). Wine's SetupAPI retries a source file that is missing
// for ever instead of failing the copy, so a package with a missing file would hang the
// installation rather than fail it.
void CheckPackageFiles(const std::wstring& infPath)
{
    const std::wstring directory = infPath.substr(0, infPath.find_last_of(L'\\') + 1);
    const InfFile inf(infPath);
    std::wstring files;
#if defined(__aarch64__)
    constexpr wchar_t kPlatformFiles[] = L"SourceDisksFiles.arm64";
#else
    constexpr wchar_t kPlatformFiles[] = L"SourceDisksFiles.amd64";
#endif
    for (const wchar_t* section : {L"SourceDisksFiles", kPlatformFiles}) {
        INFCONTEXT line = {};
        for (BOOL more = SetupFindFirstLineW(inf.get(), section, nullptr, &line); more;
             more = SetupFindNextLine(&line, &line)) {
            const std::wstring name = StringField(line, 0);
            const std::wstring subdirectory = StringField(line, 2);
            const std::wstring path = directory + (subdirectory.empty() ? L"" : subdirectory + L"\\") + name;
            if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
                throw StepFailed(L"find the package file " + path, GetLastError());
            }
            files += (files.empty() ? L"" : L", ") + name;
        }
    }
    Say(L"Package files present: " + (files.empty() ? std::wstring(L"none listed") : files));
}

int Install(const std::wstring& inf, const std::vector<std::wstring>& hardwareIds)
{
    const std::wstring infPath = FullPath(inf);
    GUID classGuid = {};
    wchar_t className[MAX_CLASS_NAME_LEN] = {};
    if (!SetupDiGetINFClassW(infPath.c_str(), &classGuid, className, MAX_CLASS_NAME_LEN, nullptr)) {
        throw StepFailed(L"read the setup class of " + infPath, GetLastError());
    }
    Say(L"Package " + infPath + L", setup class " + className + L" " + GuidText(classGuid));
    CheckPackageFiles(infPath);

    const zorva::UniqueDevInfo set(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (!set) {
        throw StepFailed(L"create a device information set", GetLastError());
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (!SetupDiCreateDeviceInfoW(set.get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device)) {
        throw StepFailed(L"create a root device of class " + std::wstring(className), GetLastError());
    }
    // A REG_MULTI_SZ: each ID with its terminator, then the list's terminator.
    std::wstring ids;
    std::wstring listed;
    for (const std::wstring& id : hardwareIds) {
        ids += id + L'\0';
        listed += (listed.empty() ? L"" : L", ") + id;
    }
    ids += L'\0';
    listed = (hardwareIds.size() == 1 ? L"hardware ID " : L"hardware IDs ") + listed;
    if (!SetupDiSetDeviceRegistryPropertyW(set.get(), &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(ids.data()),
                                           static_cast<DWORD>(ids.size() * sizeof(wchar_t)))) {
        throw StepFailed(L"set the " + listed, GetLastError());
    }
    const std::wstring instanceId = InstanceId(set.get(), device);
    Say(L"Created device " + instanceId + L" with " + listed);

    CallInstaller(DIF_REGISTERDEVICE, L"DIF_REGISTERDEVICE", set.get(), device);
    Say(L"DIF_REGISTERDEVICE: device node registered");
    try {
        InstallDriver(set.get(), device, infPath);
    } catch (const StepFailed& failure) {
        zorva_tools::Complain(failure.Describe());
        // Windows would keep the device with a problem code; a half-installed device here
        // would only get in the way of the next attempt.
        if (SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &device)) {
            Say(L"Installation failed: device " + instanceId + L" removed again");
        }
        return 1;
    }
    Say(L"Device " + instanceId + L" installed");
    return 0;
}

void Update(const std::wstring& inf, const std::wstring& hardwareId)
{
    const std::wstring infPath = FullPath(inf);
    Say(L"Package " + infPath);
    CheckPackageFiles(infPath);
    const zorva::UniqueDevInfo set = AllDevices();
    for (SP_DEVINFO_DATA& device : FindDevices(set.get(), hardwareId)) {
        const std::wstring instanceId = InstanceId(set.get(), device);
        Say(L"Installing the driver again on device " + instanceId);
        InstallDriver(set.get(), device, infPath);
        Say(L"Device " + instanceId + L" updated");
    }
}

// Removes every device with the hardware ID, or only the one with the instance ID given.
void Remove(const std::wstring& hardwareId, const std::wstring* onlyInstanceId)
{
    const zorva::UniqueDevInfo set = AllDevices();
    bool removed = false;
    for (SP_DEVINFO_DATA& device : FindDevices(set.get(), hardwareId)) {
        const std::wstring instanceId = InstanceId(set.get(), device);
        if (onlyInstanceId != nullptr &&
            CompareStringOrdinal(instanceId.c_str(), -1, onlyInstanceId->c_str(), -1, TRUE) != CSTR_EQUAL) {
            continue;
        }
        CallInstaller(DIF_REMOVE, L"DIF_REMOVE", set.get(), device);
        removed = true;
        Say(L"DIF_REMOVE: device " + instanceId + L" removed");
    }
    if (!removed) {
        throw StepFailed(L"find the device " + *onlyInstanceId + L" with hardware ID " + hardwareId,
                         ERROR_NO_SUCH_DEVINST);
    }
}

int Usage()
{
    zorva_tools::Complain(L"usage: device-installer install <inf> <hardware-id> [<hardware-id>...]\n"
                          L"       device-installer update <inf> <hardware-id>\n"
                          L"       device-installer remove <hardware-id> [<instance-id>]");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    zorva_tools::HandleCrashes();
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    try {
        if (args.size() >= 3 && args[0] == L"install") {
            return Install(args[1], {args.begin() + 2, args.end()});
        }
        if (args.size() == 3 && args[0] == L"update") {
            Update(args[1], args[2]);
            return 0;
        }
        if ((args.size() == 2 || args.size() == 3) && args[0] == L"remove") {
            Remove(args[1], args.size() == 3 ? &args[2] : nullptr);
            return 0;
        }
    } catch (const StepFailed& failure) {
        zorva_tools::Complain(failure.Describe());
        return 1;
    }
    return Usage();
}
