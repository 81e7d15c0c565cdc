#pragma once

#include "common/shared_bstr.h"

#include <optional>
#include <string>

namespace zorva {

// The appliance's UDN from a verb's command-line tail: everything from the first "uuid:"
// (case-sensitive) to the end, converted from the ANSI code page. Nothing when the tail
// has no "uuid:".
std::optional<SharedBstr> ExtractDeviceUdn(const char* tail);

// Asks the UPnP device finder for the device with this UDN and assigns the host of its
// description URL to `host`. False, with `host` untouched, when any step fails or the host
// is not safe to use as a UNC server name.
bool FindDeviceHost(const SharedBstr& udn, SharedBstr& host);

// The UNC server name for a URL host: a DNS name or dotted IPv4 address as it stands, a
// bracketed IPv6 literal in its "ipv6-literal.net" form. Empty for anything else: a host
// with a backslash, slash, blank or other character could turn "\\host" into the path of
// an arbitrary share or program.
std::wstring UncHostFromUrlHost(const std::wstring& urlHost);

}  // namespace zorva
