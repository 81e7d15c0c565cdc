#include "coinstaller/coinstaller.h"

#include "coinstaller/key_removal.h"
#include "coinstaller/plugin_registration.h"
#include "common/product.h"

namespace {

void RemoveBothTrees()
{
    zorva::RemovePlugInKeys(HKEY_CLASSES_ROOT, zorva::kHardwareIdentityKeyPath);
    zorva::RemovePlugInKeys(HKEY_CLASSES_ROOT, zorva::kDeviceTypeKeyPath);
}

// Asks SetupAPI to run the finish-install action once the wizard ends. Every other
// installation parameter is written back exactly as read.
void RequestFinishInstallAction(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData)
{
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(deviceInfoSet, deviceInfoData, &params)) {
        return;
    }
    params.FlagsEx |= DI_FLAGSEX_FINISHINSTALL_ACTION;
    SetupDiSetDeviceInstallParamsW(deviceInfoSet, deviceInfoData, &params);
}

}  // namespace

extern "C" DWORD CALLBACK RallyD(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet,
                                 PSP_DEVINFO_DATA deviceInfoData, PCOINSTALLER_CONTEXT_DATA)
{
    // Nothing may unwind into SetupAPI, and a co-installer failure would fail the whole
    // device installation for the sake of a few registry entries: answer NO_ERROR always.
    try {
        switch (installFunction) {
        case DIF_REMOVE:
            RemoveBothTrees();
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
    } catch (...) {
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
