#include "coinstaller/coinstaller.h"

#include "coinstaller/key_removal.h"
#include "coinstaller/other_units.h"
#include "coinstaller/plugin_registration.h"
#include "common/product.h"

namespace {

// A tree that cannot be removed whole stays as far as it resisted; the other one still goes.
void RemoveBothTrees() noexcept
{
    static_cast<void>(zorva::RemovePlugInKeys(HKEY_CLASSES_ROOT, zorva::kHardwareIdentityKeyPath));
    static_cast<void>(zorva::RemovePlugInKeys(HKEY_CLASSES_ROOT, zorva::kDeviceTypeKeyPath));
}

// Asks SetupAPI to run the finish-install action once the wizard ends. Every other
// installation parameter is written back exactly as read.
void RequestFinishInstallAction(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData) noexcept
{
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(deviceInfoSet, deviceInfoData, &params)) {
        return;
    }
    params.FlagsEx |= DI_FLAGSEX_FINISHINSTALL_ACTION;
    static_cast<void>(SetupDiSetDeviceInstallParamsW(deviceInfoSet, deviceInfoData, &params));
}

}  // namespace

extern "C" DWORD CALLBACK RallyD(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet,
                                 PSP_DEVINFO_DATA deviceInfoData, PCOINSTALLER_CONTEXT_DATA)
{
    // A co-installer failure would fail the whole device installation for the sake of a few
    // registry entries: answer NO_ERROR always. Nothing here throws, so nothing can unwind
    // into SetupAPI either.
    switch (installFunction) {
    case DIF_REMOVE:
        // Every unit of the appliance shares the two trees: they go with the last one. Where
        // that cannot be told, they go, as they always did.
        if (!zorva::AnotherUnitIsInstalled(deviceInfoSet, deviceInfoData)) {
            RemoveBothTrees();
        }
        break;
    case DIF_NEWDEVICEWIZARD_FINISHINSTALL:
        RequestFinishInstallAction(deviceInfoSet, deviceInfoData);
        break;
    case DIF_INSTALLINTERFACES:
        RemoveBothTrees();
        zorva::RegisterPlugInKeys();
        break;
    default:
        break;
    }
    return NO_ERROR;
}

extern "C" DWORD CALLBACK CoDeviceInstall(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet,
                                          PSP_DEVINFO_DATA deviceInfoData, PCOINSTALLER_CONTEXT_DATA context)
{
    return RallyD(installFunction, deviceInfoSet, deviceInfoData, context);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
