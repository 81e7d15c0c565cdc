#include "shellverbs/device_lookup.h"

#include "common/com_owners.h"
#include "shellverbs/upnp.h"

#include <winhttp.h>

#include <cstring>

namespace zorva {
namespace {

// WinHttpCrackUrl's host buffer: a host of 256 characters or more does not fit.
constexpr DWORD kHostCapacity = 256;

bool IsAsciiAlphanumeric(wchar_t c) noexcept
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
}

bool IsHostNameCharacter(wchar_t c) noexcept
{
    return IsAsciiAlphanumeric(c) || c == L'-' || c == L'_' || c == L'.';
}

bool IsHexDigit(wchar_t c) noexcept
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// "[fe80::1%4]" -> "fe80--1s4.ipv6-literal.net", the form Windows resolves in UNC paths.
// An embedded dotted IPv4 tail has no such form: its dots would split the name's labels.
std::wstring MapIpv6Literal(const std::wstring& literal)
{
    const std::wstring address = literal.substr(1, literal.size() - 2);
    const size_t zone = address.find(L'%');
    bool hasColon = false;
    std::wstring mapped;
    for (size_t i = 0; i < address.size(); ++i) {
        const wchar_t c = address[i];
        if (i < zone) {
            if (c == L':') {
                hasColon = true;
                mapped += L'-';
            } else if (IsHexDigit(c)) {
                mapped += c;
            } else {
                return {};
            }
        } else if (i == zone) {
            mapped += L's';
        } else if (IsAsciiAlphanumeric(c)) {
            mapped += c;
        } else {
            return {};
        }
    }
    if (!hasColon || zone == address.size() - 1) {
        return {};
    }
    return mapped + L".ipv6-literal.net";
}

}  // namespace

std::wstring UncHostFromUrlHost(const std::wstring& urlHost)
{
    if (urlHost.size() > 2 && urlHost.front() == L'[' && urlHost.back() == L']') {
        return MapIpv6Literal(urlHost);
    }
    if (urlHost.empty()) {
        return {};
    }
    for (wchar_t c : urlHost) {
        if (!IsHostNameCharacter(c)) {
            return {};
        }
    }
    return urlHost;
}

std::optional<SharedBstr> ExtractDeviceUdn(const char* tail)
{
    const char* udn = tail != nullptr ? std::strstr(tail, "uuid:") : nullptr;
    if (udn == nullptr) {
        return std::nullopt;
    }
    return SharedBstr(udn);
}

bool FindDeviceHost(const SharedBstr& udn, SharedBstr& host)
{
    // Destroyed in reverse: the URL is freed, then the interfaces are released, and the
    // apartment is left last, on every way out.
    const ComApartment apartment(COINIT_MULTITHREADED);
    ComPtr<IUPnPDeviceFinder> finder;
    if (FAILED(CoCreateInstance(CLSID_UPnPDeviceFinder, nullptr, CLSCTX_INPROC_SERVER, IID_IUPnPDeviceFinder,
                                finder.put_void()))) {
        return false;
    }
    ComPtr<IUPnPDevice> device;
    if (FAILED(finder->FindByUDN(udn.get(), device.put())) || !device) {
        return false;
    }
    ComPtr<IUPnPDeviceDocumentAccess> documentAccess;
    if (FAILED(device->QueryInterface(IID_IUPnPDeviceDocumentAccess, documentAccess.put_void()))) {
        return false;
    }
    UniqueBstr url;
    // The HRESULT says nothing the URL itself does not: a missing URL fails to crack below.
    documentAccess->GetDocumentURL(url.put());

    wchar_t hostName[kHostCapacity] = {};
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = hostName;
    components.dwHostNameLength = kHostCapacity;
    if (!WinHttpCrackUrl(url.get(), 0, 0, &components)) {
        return false;
    }
    const std::wstring uncHost = UncHostFromUrlHost(hostName);
    if (uncHost.empty()) {
        return false;
    }
    host = uncHost.c_str();
    return true;
}

}  // namespace zorva
