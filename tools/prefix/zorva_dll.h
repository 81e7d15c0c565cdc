#pragma once

// The installed co-installer DLL, loaded the way SetupAPI finds it: by its file name from
// System32, where the test fixture has copied it.

#include "common/product.h"
#include "console/owners.h"

#include <windows.h>

#include <setupapi.h>

#include <stdexcept>
#include <string>

namespace zorva_test {

// mingw's setupapi.h predates these two.
inline constexpr DI_FUNCTION kDifFinishInstallAction = 0x2B;
inline constexpr DWORD kDiFlagsExFinishInstallAction = 0x00000008;

using CoInstallerEntry = DWORD(CALLBACK*)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);

inline constexpr wchar_t kInstalledDllName[] = ZORVA_INSTALLED_DLL;

class ZorvaDll {
public:
    ZorvaDll() : module_(LoadLibraryW(kInstalledDllName))
    {
        if (!module_) {
            throw std::runtime_error("LoadLibraryW(" ZORVA_INSTALLED_NAME ") failed: " +
                                     std::to_string(GetLastError()));
        }
    }

    HMODULE Module() const { return module_.get(); }

    // An export by name: a co-installer entry ("CoDeviceInstall" or "RallyD") unless
    // Function names another type, such as a verb's entry point.
    template <typename Function = CoInstallerEntry>
    Function Entry(const char* name) const
    {
        auto entry = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
        if (entry == nullptr) {
            throw std::runtime_error(std::string("no export ") + name);
        }
        return entry;
    }

    // A request to the co-installer as SetupAPI makes it, a first call; without a device
    // information set or element, as SetupAPI may make it too.
    DWORD CoInstall(DI_FUNCTION code, HDEVINFO set = nullptr, PSP_DEVINFO_DATA device = nullptr) const
    {
        COINSTALLER_CONTEXT_DATA context = {};
        return Entry("CoDeviceInstall")(code, set, device, &context);
    }

private:
    zorva::UniqueModule module_;
};

}  // namespace zorva_test
