#include "coinstaller/plugin_registration.h"

#include "coinstaller/key_removal.h"
#include "common/product.h"
#include "common/unique_resource.h"
#include "common/wide_string.h"
#include "localization/verb_captions.h"
#include "shellverbs/verbs.h"

#include <utility>

namespace zorva {
namespace {

constexpr wchar_t kDefaultIconKey[] = L"DefaultIcon";
constexpr wchar_t kShellKey[] = L"shell";
constexpr wchar_t kCommandKey[] = L"command";
constexpr wchar_t kMuiVerbValue[] = L"MUIVerb";

constexpr wchar_t kMediaPlayerVerb[] = L"Open Media Player";
constexpr wchar_t kMediaPlayerCaption[] = L"@%SystemRoot%\\System32\\wmploc.dll,-29301";
constexpr wchar_t kMediaPlayerCommand[] = L"C:\\Program Files\\Windows Media Player\\wmplayer.exe";

[[nodiscard]] LSTATUS CreateForWrite(HKEY parent, const wchar_t* path, UniqueHkey& key) noexcept
{
    return RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                           key.put(), nullptr);
}

[[nodiscard]] LSTATUS OpenLinkItself(HKEY parent, const wchar_t* path, UniqueHkey& key) noexcept
{
    return RegOpenKeyExW(parent, path, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, key.put());
}

// Whether a key that OpenLinkItself could not open may still be a link. A key that is not
// there yet is created afresh, as no link; one that is there but refuses the open cannot be
// checked, and a link may well deny reading it.
bool MayBeLinkUnopened(LSTATUS opened) noexcept
{
    return opened != ERROR_FILE_NOT_FOUND;
}

// True for a registry link (opened as itself), and for a key whose link value cannot be
// read: only a key known to be no link is written through.
bool MayBeLink(HKEY key) noexcept
{
    return RegistryLinkState(key) != LinkState::NoLink;
}

// True when a key on the way from the tree's own key down to the location's key (its
// subkey, if it names one), both ends included, is a registry link or cannot be told from
// one. Each step opens one name below the key reached so far, so no link on the way is
// followed while looking.
bool PassesThroughLink(const wchar_t* treePath, const ValueLocation& location) noexcept
{
    UniqueHkey key;
    const LSTATUS opened = OpenLinkItself(HKEY_CLASSES_ROOT, treePath, key);
    if (opened != ERROR_SUCCESS) {
        return MayBeLinkUnopened(opened);
    }
    const wchar_t* subkey = location.Subkey();
    for (const wchar_t* part : {location.KeyPath() + lstrlenW(treePath), subkey != nullptr ? subkey : L""}) {
        while (*part != L'\0') {
            if (*part == L'\\') {
                ++part;
                continue;
            }
            // The names on these paths are the product's own, far shorter than a key name
            // may be; the bound only keeps the copy inside the buffer.
            wchar_t name[MAX_PATH];
            int length = 0;
            while (part[length] != L'\0' && part[length] != L'\\' && length < MAX_PATH - 1) {
                name[length] = part[length];
                ++length;
            }
            name[length] = L'\0';
            part += length;
            if (MayBeLink(key.get())) {
                return true;
            }
            UniqueHkey child;
            const LSTATUS childOpened = OpenLinkItself(key.get(), name, child);
            if (childOpened != ERROR_SUCCESS) {
                return MayBeLinkUnopened(childOpened);
            }
            key = std::move(child);
        }
    }
    return MayBeLink(key.get());
}

// The writes into one of the two trees. A tree normally starts from nothing; one whose key
// is still there is what its removal could not take, and may hold a link that refused
// deletion: a write through it would land wherever the link points.
class TreeWriter {
public:
    explicit TreeWriter(const wchar_t* treePath) noexcept : treePath_(treePath)
    {
        // A tree key that is there but cannot be opened is left over too.
        UniqueHkey key;
        leftOver_ = OpenLinkItself(HKEY_CLASSES_ROOT, treePath, key) != ERROR_FILE_NOT_FOUND;
    }

    // A key of this tree: `keyPath` begins with the tree's own path.
    ValueLocation At(const wchar_t* keyPath) const noexcept { return ValueLocation(HKEY_CLASSES_ROOT, keyPath); }

    void Write(const ValueLocation& location, const wchar_t* data) const noexcept
    {
        if (leftOver_ && PassesThroughLink(treePath_, location)) {
            return;
        }
        static_cast<void>(WriteStringValue(location, data));
    }

private:
    const wchar_t* treePath_;
    bool leftOver_ = false;
};

}  // namespace

bool WriteStringValue(const ValueLocation& location, const wchar_t* data) noexcept
{
    UniqueHkey key;
    if (CreateForWrite(location.Root(), location.KeyPath(), key) != ERROR_SUCCESS) {
        return false;
    }
    UniqueHkey child;
    if (location.Subkey() != nullptr && CreateForWrite(key.get(), location.Subkey(), child) != ERROR_SUCCESS) {
        return false;
    }
    const HKEY target = child ? child.get() : key.get();
    // REG_SZ with its terminator, also for the %SystemRoot% paths: the shell expands
    // those itself, and readers expect exactly this type.
    const DWORD bytes = static_cast<DWORD>((lstrlenW(data) + 1) * sizeof(wchar_t));
    return RegSetKeyValueW(target, nullptr, location.ValueName(), REG_SZ, data, bytes) == ERROR_SUCCESS;
}

void RegisterPlugInKeys() noexcept
{
    // Every caption before any write, in the verbs' order, each asking the system afresh.
    // Want of memory is the only way a caption or a path can fail: it ends the registration
    // where it stands, and what was written stays.
    WideString captions[kVerbCount];
    for (const VerbRow& verb : kVerbs) {
        if (FAILED(VerbCaption(verb.verb, captions[IndexOf(verb.verb)]))) {
            return;
        }
    }

    WideString path;
    const TreeWriter hardwareIdentity(kHardwareIdentityKeyPath);
    hardwareIdentity.Write(hardwareIdentity.At(kHardwareIdentityKeyPath).InSubkey(kDefaultIconKey),
                           kHardwareIdentityIcon);
    if (FAILED(path.Format(L"%s\\%s", kHardwareIdentityKeyPath, kShellKey))) {
        return;
    }
    hardwareIdentity.Write(hardwareIdentity.At(path.c_str()).InSubkey(kMediaPlayerVerb).Named(kMuiVerbValue),
                           kMediaPlayerCaption);
    if (FAILED(path.Format(L"%s\\%s\\%s\\%s", kHardwareIdentityKeyPath, kShellKey, kMediaPlayerVerb, kCommandKey))) {
        return;
    }
    hardwareIdentity.Write(hardwareIdentity.At(path.c_str()), kMediaPlayerCommand);

    const TreeWriter deviceType(kDeviceTypeKeyPath);
    deviceType.Write(deviceType.At(kDeviceTypeKeyPath).InSubkey(kDefaultIconKey), kDeviceTypeIcon);
    // The shell key's default value names the default verb's key.
    deviceType.Write(deviceType.At(kDeviceTypeKeyPath).InSubkey(kShellKey), captions[IndexOf(kDefaultVerb)].c_str());
    for (const VerbRow& verb : kVerbs) {
        const wchar_t* caption = captions[IndexOf(verb.verb)].c_str();
        if (FAILED(path.Format(L"%s\\%s\\%s\\%s", kDeviceTypeKeyPath, kShellKey, caption, kCommandKey))) {
            return;
        }
        deviceType.Write(deviceType.At(path.c_str()), verb.command);
    }
}

}  // namespace zorva
