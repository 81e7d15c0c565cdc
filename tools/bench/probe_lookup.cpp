#include "probe.h"

#include "common/com_owners.h"
#include "standins/upnp_interfaces.h"

#include <winhttp.h>

#include <cstring>
#include <string>

namespace zorva_bench {

// The stand-in's own transcription of the SDK's interfaces: the finder the probe calls.
using zorva_standin::UPnPDevice;
using zorva_standin::UPnPDeviceDocumentAccess;
using zorva_standin::UPnPDeviceFinder;

bool FindDeviceHost(const char* tail, wchar_t (&host)[kHostCapacity])
{
    const char* udnText = tail != nullptr ? std::strstr(tail, "uuid:") : nullptr;
    if (udnText == nullptr) {
        return false;
    }
    std::wstring wide(MultiByteToWideChar(CP_ACP, 0, udnText, -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, udnText, -1, &wide[0], static_cast<int>(wide.size()));
    zorva::UniqueBstr udn;
    *udn.put() = SysAllocString(wide.c_str());

    const zorva::ComApartment apartment(COINIT_MULTITHREADED);
    zorva::ComPtr<UPnPDeviceFinder> finder;
    if (FAILED(zorva::CoCreate(zorva_standin::kClsidUPnPDeviceFinder, CLSCTX_INPROC_SERVER, finder))) {
        return false;
    }
    zorva::ComPtr<UPnPDevice> device;
    if (finder->FindByUDN(udn.get(), device.put()) != S_OK || !device) {
        return false;
    }
    zorva::ComPtr<UPnPDeviceDocumentAccess> documentAccess;
    if (FAILED(device.query_to(documentAccess))) {
        return false;
    }
    zorva::UniqueBstr url;
    if (FAILED(documentAccess->GetDocumentURL(url.put()))) {
        return false;
    }
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = host;
    components.dwHostNameLength = kHostCapacity;
    return WinHttpCrackUrl(url.get(), 0, 0, &components) != FALSE;
}

}  // namespace zorva_bench
