#include "coinstaller/plugin_registration.h"

#include "common/product.h"
#include "common/unique_resource.h"
#include "common/wide_string.h"
#include "localization/verb_captions.h"

namespace zorva {
namespace {

constexpr wchar_t kDefaultIconKey[] = L"DefaultIcon";
constexpr wchar_t kShellKey[] = L"shell";
constexpr wchar_t kCommandKey[] = L"command";
constexpr wchar_t kMuiVerbValue[] = L"MUIVerb";

constexpr wchar_t kMediaPlayerVerb[] = L"Open Media Player";
constexpr wchar_t kMediaPlayerCaption[] = L"@%SystemRoot%\\System32\\wmploc.dll,-29301";
constexpr wchar_t kMediaPlayerCommand[] = L"C:\\Program Files\\Windows Media Player\\wmplayer.exe";

LSTATUS CreateForWrite(HKEY parent, const wchar_t* path, UniqueHkey& key)
{
    return RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                           key.put(), nullptr);
}

void WriteVerbCommand(WideString& path, const wchar_t* caption, const wchar_t* command)
{
    path.Format(L"%s\\%s\\%s\\%s", kDeviceTypeKeyPath, kShellKey, caption, kCommandKey);
    WriteStringValue(path.c_str(), command, nullptr, nullptr, HKEY_CLASSES_ROOT);
}

}  // namespace

bool WriteStringValue(const wchar_t* keyPath, const wchar_t* data, const wchar_t* subkey,
                      const wchar_t* valueName, HKEY root)
{
    UniqueHkey key;
    if (CreateForWrite(root, keyPath, key) != ERROR_SUCCESS) {
        return false;
    }
    UniqueHkey child;
    if (subkey != nullptr && CreateForWrite(key.get(), subkey, child) != ERROR_SUCCESS) {
        return false;
    }
    const HKEY target = child ? child.get() : key.get();
    // REG_SZ with its terminator, also for the %SystemRoot% paths: the shell expands
    // those itself, and readers expect exactly this type.
    const DWORD bytes = static_cast<DWORD>((lstrlenW(data) + 1) * sizeof(wchar_t));
    return RegSetKeyValueW(target, nullptr, valueName, REG_SZ, data, bytes) == ERROR_SUCCESS;
}

void RegisterPlugInKeys()
{
    WideString openCaption;
    WideString mountCaption;
    WideString downloadCaption;
    OpenVerbCaption(openCaption);
    MountVerbCaption(mountCaption);
    DownloadVerbCaption(downloadCaption);

    WideString path;
    WriteStringValue(kHardwareIdentityKeyPath, kHardwareIdentityIcon, kDefaultIconKey, nullptr,
                     HKEY_CLASSES_ROOT);
    path.Format(L"%s\\%s", kHardwareIdentityKeyPath, kShellKey);
    WriteStringValue(path.c_str(), kMediaPlayerCaption, kMediaPlayerVerb, kMuiVerbValue, HKEY_CLASSES_ROOT);
    path.Format(L"%s\\%s\\%s\\%s", kHardwareIdentityKeyPath, kShellKey, kMediaPlayerVerb, kCommandKey);
    WriteStringValue(path.c_str(), kMediaPlayerCommand, nullptr, nullptr, HKEY_CLASSES_ROOT);

    WriteStringValue(kDeviceTypeKeyPath, kDeviceTypeIcon, kDefaultIconKey, nullptr, HKEY_CLASSES_ROOT);
    // The shell key's default value names the Open verb's key: Open is the default verb.
    WriteStringValue(kDeviceTypeKeyPath, openCaption.c_str(), kShellKey, nullptr, HKEY_CLASSES_ROOT);
    WriteVerbCommand(path, openCaption.c_str(), kOpenCommand);
    WriteVerbCommand(path, mountCaption.c_str(), kMountCommand);
    WriteVerbCommand(path, downloadCaption.c_str(), kDownloadCommand);
}

}  // namespace zorva
