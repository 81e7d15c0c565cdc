#include "shellverbs/device_lookup.h"

#include "common/com_owners.h"
#include "shellverbs/host_names.h"
#include "shellverbs/udn.h"
#include "shellverbs/upnp.h"

#include <winhttp.h>

namespace zorva {

HRESULT ExtractDeviceUdn(const char* tail, SharedBstr& udn) noexcept
{
    const char* start = FindUdn(tail);
    if (start == nullptr) {
        return S_FALSE;
    }
    return udn.AssignAnsi(start);
}

bool FindDeviceHost(const SharedBstr& udn, SharedBstr& host) noexcept
{
    // Destroyed in reverse: the URL is freed, then the interfaces are released, and the
    // apartment is left last, on every way out.
    const ComApartment apartment(COINIT_MULTITHREADED);
    ComPtr<IUPnPDeviceFinder> finder;
    if (FAILED(CoCreate(CLSID_UPnPDeviceFinder, CLSCTX_INPROC_SERVER, finder))) {
        return false;
    }
    ComPtr<IUPnPDevice> device;
    if (FAILED(finder->FindByUDN(udn.get(), device.put())) || !device) {
        return false;
    }
    ComPtr<IUPnPDeviceDocumentAccess> documentAccess;
    if (FAILED(device.query_to(documentAccess))) {
        return false;
    }
    UniqueBstr url;
    // The HRESULT says nothing the URL itself does not: a missing URL fails to crack below.
    static_cast<void>(documentAccess->GetDocumentURL(url.put()));

    wchar_t hostName[kUrlHostCapacity] = {};
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = hostName;
    components.dwHostNameLength = static_cast<DWORD>(kUrlHostCapacity);
    if (!WinHttpCrackUrl(url.get(), 0, 0, &components)) {
        return false;
    }
    wchar_t uncHost[kUncHostCapacity];
    return UncHostFromUrlHost(hostName, uncHost) && SUCCEEDED(host.Assign(uncHost));
}

}  // namespace zorva
