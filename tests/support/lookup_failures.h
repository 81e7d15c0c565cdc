#pragma once

// The ways a verb's device lookup can fail, for the lookup called directly and for the
// verbs run end to end: a finder failure, or a description URL without a usable host.

#include "prefix/standins_control.h"

#include <optional>
#include <string>

namespace zorva_test {

struct LookupFailure {
    const char* name;
    bool finderMissing;
    FinderFailure failure;
    std::optional<std::wstring> descriptionUrl;  // nullopt: the finder knows no such device
    // A folder below $WINEPREFIX/dosdevices/unc that would let Wine's shell open what a
    // verb without the host check would launch.
    const wchar_t* uncFolder;
};

inline const LookupFailure kLookupFailures[] = {
    {"FinderMissing", true, FinderFailure::None, L"http://192.168.1.20/desc.xml", nullptr},
    {"FindByUdnFails", false, FinderFailure::FindByUdn, L"http://192.168.1.20/desc.xml", nullptr},
    {"DeviceNotFound", false, FinderFailure::NotFound, L"http://192.168.1.20/desc.xml", nullptr},
    {"UdnUnknown", false, FinderFailure::None, std::nullopt, nullptr},
    {"NoDocumentAccess", false, FinderFailure::NoDocumentAccess, L"http://192.168.1.20/desc.xml", nullptr},
    {"NoUrl", false, FinderFailure::NoUrl, L"http://192.168.1.20/desc.xml", nullptr},
    {"EmptyUrl", false, FinderFailure::None, L"", nullptr},
    {"NotAUrl", false, FinderFailure::None, L"not a url", nullptr},
    {"Host256Characters", false, FinderFailure::None, L"http://" + std::wstring(256, L'n') + L"/desc.xml",
     nullptr},
    {"FullyQualified256Characters", false, FinderFailure::None,
     L"http://" + std::wstring(255, L'n') + L"./desc.xml", nullptr},
    {"EmptyHost", false, FinderFailure::None, L"http:///desc.xml", nullptr},
    {"BackslashInHost", false, FinderFailure::None, L"http://a\\b/x", L"a\\b"},
    {"ShareInHost", false, FinderFailure::None, L"http://evil\\share\\x/", L"evil\\share\\x"},
    {"NonAsciiHost", false, FinderFailure::None, L"http://caf\u00e9/desc.xml", nullptr},
};

// The stand-ins set up for the failure, for the device `udn` (the finder, if it is to be
// missing, is unregistered by the caller, for as long as the lookup runs).
inline void ArrangeLookupFailure(const LookupFailure& failure, const std::wstring& udn)
{
    if (failure.descriptionUrl) {
        AddDevice(udn, *failure.descriptionUrl);
    }
    SetFinderFailure(failure.failure);
}

}  // namespace zorva_test
