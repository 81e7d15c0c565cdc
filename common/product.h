#pragma once

#include "product_names.h"

// Every fixed name of the product, in one place: the registry data, the command lines and
// the download page all derive from these.
namespace zorva {

// The maker's Internet domain. The UPnP device type writes it with hyphens for dots.
#define ZORVA_VENDOR_DOMAIN L"zorva.example"
#define ZORVA_VENDOR_DOMAIN_TOKEN L"zorva-example"

// The file name under which the driver package installs this library into System32; the
// icon references and the verb command lines rely on it. (A narrow literal after L"" makes
// the whole literal wide.)
#define ZORVA_INSTALLED_DLL L"" ZORVA_INSTALLED_NAME

inline constexpr wchar_t kHardwareIdentityKeyPath[] =
    L"NetworkExplorerPlugins\\VEN_0F3D&DEV_0042&REV_01";
inline constexpr wchar_t kDeviceTypeKeyPath[] =
    L"NetworkExplorerPlugins\\urn:" ZORVA_VENDOR_DOMAIN_TOKEN L":device:NetworkAttachedStorage:KT2HX";

inline constexpr wchar_t kHardwareIdentityIcon[] =
    L"%SystemRoot%\\System32\\" ZORVA_INSTALLED_DLL L",-102";
inline constexpr wchar_t kDeviceTypeIcon[] = L"%SystemRoot%\\System32\\" ZORVA_INSTALLED_DLL L",-101";

// The command line the shell runs for a verb: its rundll32 entry point in the installed
// library, with the device argument in place of %1.
#define ZORVA_VERB_COMMAND(entryPoint) L"rundll32.exe " ZORVA_INSTALLED_DLL L"," #entryPoint L" %1"

// The maker's software-download page, opened by the Download verb.
inline constexpr wchar_t kDownloadPageUrl[] = L"http://download." ZORVA_VENDOR_DOMAIN L"/?mod=download&device=zrv";

}  // namespace zorva
