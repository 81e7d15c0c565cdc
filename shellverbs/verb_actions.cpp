#include "shellverbs/verb_actions.h"

#include "common/hresult.h"
#include "common/product.h"
#include "common/unique_resource.h"
#include "shellverbs/device_lookup.h"

#include <shellapi.h>
#include <winnetwk.h>

#include <cwchar>

namespace zorva {
namespace {

// Buffer capacities of the share connection, in UTF-16 units.
constexpr DWORD kAccessNameCapacity = MAX_PATH;
constexpr size_t kRemoteNameCapacity = MAX_PATH;
constexpr size_t kLocalNameCapacity = MAX_PATH;
constexpr size_t kCommentCapacity = 128;

// Resolves the tail's device and hands its host to `act`. Any failure, want of memory
// included, ends the verb silently.
template <typename Act>
void WithDeviceHost(LPSTR tail, Act act) noexcept
{
    SharedBstr udn;
    if (ExtractDeviceUdn(tail, udn) != S_OK) {
        return;
    }
    SharedBstr host;
    if (FindDeviceHost(udn, host)) {
        act(host);
    }
}

}  // namespace

BOOL LaunchShellTarget(const wchar_t* target) noexcept
{
    wchar_t empty[] = L"";
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = target;
    info.lpParameters = empty;
    info.lpDirectory = empty;
    info.nShow = SW_SHOWNORMAL;
    const BOOL launched = ShellExecuteExW(&info);
    // Nothing waits on the process; owning its handle only keeps it from leaking.
    const UniqueHandle process(info.hProcess);
    return launched;
}

HRESULT ConnectPublicShare(BSTR host) noexcept
{
    if (host == nullptr || SysStringLen(host) == 0) {
        return E_INVALIDARG;
    }
    wchar_t accessName[kAccessNameCapacity] = {};
    wchar_t remoteName[kRemoteNameCapacity] = {};
    wchar_t localName[kLocalNameCapacity] = {};
    wchar_t comment[kCommentCapacity] = {};

    // msvcrt's _snwprintf reports a result that does not fit (with its terminator) as
    // negative or as the full count. Truncating would name another share, so refuse.
    const int written = _snwprintf(remoteName, kRemoteNameCapacity, L"\\\\%s\\Public", host);
    if (written < 0 || static_cast<size_t>(written) >= kRemoteNameCapacity) {
        return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
    }

    NETRESOURCEW resource = {};
    resource.dwScope = 0;
    resource.dwType = RESOURCETYPE_DISK;
    resource.dwDisplayType = 0;
    resource.dwUsage = 0;
    resource.lpLocalName = localName;
    resource.lpRemoteName = remoteName;
    resource.lpComment = comment;
    resource.lpProvider = nullptr;

    DWORD accessNameSize = kAccessNameCapacity;
    DWORD result = 0;
    // An empty local name with CONNECT_REDIRECT lets the system pick the drive letter. No
    // CONNECT_INTERACTIVE (no credential dialog) and no CONNECT_UPDATE_PROFILE (the
    // mapping is not restored at the next log-on).
    const DWORD status = WNetUseConnectionW(nullptr, &resource, nullptr, nullptr, CONNECT_REDIRECT, accessName,
                                            &accessNameSize, &result);
    return status == NO_ERROR ? S_OK : HResultFromWin32(status);
}

void OpenDeviceRoot(LPSTR tail) noexcept
{
    WithDeviceHost(tail, [](const SharedBstr& host) {
        SharedBstr root;
        if (SUCCEEDED(SharedBstr::Concatenate(L"\\\\", host, root))) {
            static_cast<void>(LaunchShellTarget(root.get()));
        }
    });
}

void MountPublicShare(LPSTR tail) noexcept
{
    WithDeviceHost(tail, [](const SharedBstr& host) { static_cast<void>(ConnectPublicShare(host.get())); });
}

void OpenDownloadPage(LPSTR) noexcept
{
    static_cast<void>(LaunchShellTarget(kDownloadPageUrl));
}

}  // namespace zorva
