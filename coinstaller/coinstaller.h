#pragma once

#include <windows.h>

#include <setupapi.h>

// mingw's setupapi.h predates these.
#ifndef DI_FLAGSEX_FINISHINSTALL_ACTION
#define DI_FLAGSEX_FINISHINSTALL_ACTION 0x00000008
#endif
#ifndef DIF_FINISHINSTALL_ACTION
#define DIF_FINISHINSTALL_ACTION 0x0000002B
#endif

extern "C" {

// SetupAPI device co-installer entry points. Both answer every request with NO_ERROR.
[[nodiscard]] DWORD CALLBACK RallyD(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet,
                      PSP_DEVINFO_DATA deviceInfoData, PCOINSTALLER_CONTEXT_DATA context);
[[nodiscard]] DWORD CALLBACK CoDeviceInstall(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet,
                               PSP_DEVINFO_DATA deviceInfoData, PCOINSTALLER_CONTEXT_DATA context);

}
