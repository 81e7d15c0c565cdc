#pragma once

// The installed co-installer DLL, loaded the way SetupAPI finds it: by its file name from
// System32, where the test fixture has copied it.

#include <windows.h>

#include <setupapi.h>

#include <stdexcept>
#include <string>

namespace zorva_test {

// mingw's setupapi.h predates these two.
inline constexpr DI_FUNCTION kDifFinishInstallAction = 0x2B;
inline constexpr DWORD kDiFlagsExFinishInstallAction = 0x00000008;

using CoInstallerEntry = DWORD(CALLBACK*)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);

inline constexpr wchar_t kInstalledDllName[] = L"ZORVA_KT2HX_2_2_0.dll";

class ZorvaDll {
public:
    ZorvaDll() : module_(LoadLibraryW(kInstalledDllName))
    {
        if (module_ == nullptr) {
            throw std::runtime_error("LoadLibraryW(ZORVA_KT2HX_2_2_0.dll) failed: " +
                                     std::to_string(GetLastError()));
        }
    }
    ~ZorvaDll() { FreeLibrary(module_); }
    ZorvaDll(const ZorvaDll&) = delete;
    ZorvaDll& operator=(const ZorvaDll&) = delete;

    HMODULE Module() const { return module_; }

    // "CoDeviceInstall" or "RallyD".
    CoInstallerEntry Entry(const char* name) const
    {
        auto entry = reinterpret_cast<CoInstallerEntry>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        if (entry == nullptr) {
            throw std::runtime_error(std::string("no export ") + name);
        }
        return entry;
    }

private:
    HMODULE module_;
};

// Owns a device information set (link setupapi).
class UniqueDevInfo {
public:
    explicit UniqueDevInfo(HDEVINFO set) : set_(set) {}
    ~UniqueDevInfo()
    {
        if (set_ != INVALID_HANDLE_VALUE && set_ != nullptr) {
            SetupDiDestroyDeviceInfoList(set_);
        }
    }
    UniqueDevInfo(const UniqueDevInfo&) = delete;
    UniqueDevInfo& operator=(const UniqueDevInfo&) = delete;

    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

}  // namespace zorva_test
