#pragma once

// A root-enumerated test device, ROOT\TESTNAS\0000, of a private device class, for the
// parts of SetupAPI that the co-installer meets: the installation parameters of a device
// element, and SetupDiCallClassInstaller with the DLL named in CoInstallers32.

#include "console/owners.h"
#include "support/registry_guard.h"
#include "prefix/zorva_dll.h"

#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace zorva_test {

// {6A5C1D3E-2F4B-4C8D-9E01-5A7B3C2D1E0F}: no real class, so nothing else lives under it.
inline constexpr GUID kTestDeviceClass = {
    0x6a5c1d3e, 0x2f4b, 0x4c8d, {0x9e, 0x01, 0x5a, 0x7b, 0x3c, 0x2d, 0x1e, 0x0f}};
inline constexpr wchar_t kTestDeviceClassKey[] =
    L"System\\CurrentControlSet\\Control\\Class\\{6a5c1d3e-2f4b-4c8d-9e01-5a7b3c2d1e0f}";
inline constexpr wchar_t kTestDeviceEnumKey[] = L"System\\CurrentControlSet\\Enum\\ROOT\\TESTNAS";
inline constexpr wchar_t kTestDeviceInstanceId[] = L"ROOT\\TESTNAS\\0000";

// The registry that creating, registering and removing the device touches: Wine keeps the
// driver key below the class key even after SetupDiRemoveDevice.
class DeviceRegistryGuard {
    RegistryGuard enumKey_{HKEY_LOCAL_MACHINE, kTestDeviceEnumKey};
    RegistryGuard classKey_{HKEY_LOCAL_MACHINE, kTestDeviceClassKey};
};

// A device element in a list of its own. Unregistered, it exists only as long as the list;
// registered, it is a device node with a driver key, removed again on destruction.
class TestDevice {
public:
    explicit TestDevice(bool registered, const wchar_t* instanceId = kTestDeviceInstanceId)
        : set_(SetupDiCreateDeviceInfoList(&kTestDeviceClass, nullptr))
    {
        if (!set_) {
            throw std::runtime_error("SetupDiCreateDeviceInfoList failed: " + std::to_string(GetLastError()));
        }
        data_.cbSize = sizeof(data_);
        if (!SetupDiCreateDeviceInfoW(set_.get(), instanceId, &kTestDeviceClass, nullptr, nullptr, 0,
                                      &data_)) {
            throw std::runtime_error("SetupDiCreateDeviceInfoW failed: " + std::to_string(GetLastError()));
        }
        if (!registered) {
            return;
        }
        static const wchar_t hardwareIds[] = L"ZORVA\\KT2HX\0";
        if (!SetupDiSetDeviceRegistryPropertyW(set_.get(), &data_, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(hardwareIds), sizeof(hardwareIds)) ||
            !SetupDiRegisterDeviceInfo(set_.get(), &data_, 0, nullptr, nullptr, nullptr)) {
            throw std::runtime_error("registering the test device failed: " + std::to_string(GetLastError()));
        }
        registered_ = true;
    }

    ~TestDevice()
    {
        if (registered_) {
            SetupDiDeleteDevRegKey(set_.get(), &data_, DICS_FLAG_GLOBAL, 0, DIREG_DRV);
            SetupDiRemoveDevice(set_.get(), &data_);
        }
    }

    TestDevice(const TestDevice&) = delete;
    TestDevice& operator=(const TestDevice&) = delete;

    HDEVINFO Set() const { return set_.get(); }
    SP_DEVINFO_DATA* Data() { return &data_; }

    // Names the library as the device's co-installer, the way an INF's CoInstallers section
    // does: "file,entry" with no blank after the comma, which SetupAPI would skip.
    void RegisterCoInstaller(const std::wstring& entry)
    {
        HKEY created =
            SetupDiCreateDevRegKeyW(set_.get(), &data_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
        if (created == INVALID_HANDLE_VALUE) {
            throw std::runtime_error("SetupDiCreateDevRegKeyW failed: " + std::to_string(GetLastError()));
        }
        const zorva::UniqueHkey driverKey(created);
        std::wstring list = std::wstring(kInstalledDllName) + L"," + entry;
        list.push_back(L'\0');  // the REG_MULTI_SZ's closing empty string
        LSTATUS status = RegSetValueExW(driverKey.get(), L"CoInstallers32", 0, REG_MULTI_SZ,
                                        reinterpret_cast<const BYTE*>(list.c_str()),
                                        static_cast<DWORD>((list.size() + 1) * sizeof(wchar_t)));
        if (status != ERROR_SUCCESS) {
            throw std::runtime_error("writing CoInstallers32 failed: " + std::to_string(status));
        }
    }

    SP_DEVINSTALL_PARAMS_W ReadParams()
    {
        SP_DEVINSTALL_PARAMS_W params = {};
        params.cbSize = sizeof(params);
        if (!SetupDiGetDeviceInstallParamsW(set_.get(), &data_, &params)) {
            throw std::runtime_error("SetupDiGetDeviceInstallParamsW failed: " + std::to_string(GetLastError()));
        }
        return params;
    }

    // Gives the element installation parameters that differ from the defaults in every
    // field a co-installer could carelessly reset.
    SP_DEVINSTALL_PARAMS_W SetDistinctiveParams(DWORD extraFlagsEx)
    {
        SP_DEVINSTALL_PARAMS_W params = ReadParams();
        params.Flags |= DI_QUIETINSTALL | DI_DONOTCALLCONFIGMG;
        params.FlagsEx |= DI_FLAGSEX_ALLOWEXCLUDEDDRVS | DI_FLAGSEX_NO_DRVREG_MODIFY | extraFlagsEx;
        lstrcpynW(params.DriverPath, L"C:\\Drivers\\KT2HX", ARRAYSIZE(params.DriverPath));
        if (!SetupDiSetDeviceInstallParamsW(set_.get(), &data_, &params)) {
            throw std::runtime_error("SetupDiSetDeviceInstallParamsW failed: " + std::to_string(GetLastError()));
        }
        return ReadParams();
    }

private:
    zorva::UniqueDevInfo set_;
    SP_DEVINFO_DATA data_ = {};
    bool registered_ = false;
};

// Every field of the installation parameters, one line each, for a readable comparison.
inline std::string DescribeParams(const SP_DEVINSTALL_PARAMS_W& params)
{
    char text[256];
    std::snprintf(text, sizeof(text),
                  "cbSize %lu\nFlags 0x%08lx\nFlagsEx 0x%08lx\nhwndParent %p\nInstallMsgHandler %p\n"
                  "InstallMsgHandlerContext %p\nFileQueue %p\nClassInstallReserved 0x%llx\nReserved %lu\n",
                  static_cast<unsigned long>(params.cbSize), static_cast<unsigned long>(params.Flags),
                  static_cast<unsigned long>(params.FlagsEx), static_cast<void*>(params.hwndParent),
                  reinterpret_cast<void*>(params.InstallMsgHandler), params.InstallMsgHandlerContext,
                  static_cast<void*>(params.FileQueue),
                  static_cast<unsigned long long>(params.ClassInstallReserved),
                  static_cast<unsigned long>(params.Reserved));
    std::string driverPath;
    for (const wchar_t* unit = params.DriverPath; *unit != L'\0'; ++unit) {
        driverPath += *unit < 0x80 ? static_cast<char>(*unit) : '?';
    }
    return text + ("DriverPath " + driverPath + "\n");
}

}  // namespace zorva_test
