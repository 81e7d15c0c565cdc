#pragma once

#include "common/shared_bstr.h"

#include <cstddef>

namespace zorva {

// The longest UNC server name a URL host can map to, terminator included: an IPv6 literal
// of up to 253 characters between its brackets, with a leading and a trailing "0" and its
// ".ipv6-literal.net" suffix.
inline constexpr size_t kUncHostCapacity = 253 + 2 + 17 + 1;

// The appliance's UDN from a verb's command-line tail: everything from the first "uuid:"
// (case-sensitive) to the end, converted from the ANSI code page. S_OK with `udn` holding
// it, S_FALSE with `udn` untouched when the tail has no "uuid:", or the failure of the
// conversion (E_OUTOFMEMORY, or the Win32 error as HRESULT).
[[nodiscard]] HRESULT ExtractDeviceUdn(const char* tail, SharedBstr& udn) noexcept;

// Asks the UPnP device finder for the device with this UDN and assigns the host of its
// description URL to `host`. False, with `host` untouched, when any step fails (memory
// included) or the host is not a name a UNC path may use as its server.
bool FindDeviceHost(const SharedBstr& udn, SharedBstr& host) noexcept;

// The UNC server name for a URL host, written to `uncHost`: a host name (dot-separated
// labels of ASCII letters, digits, '-' and '_', none empty, each with a letter or digit,
// optionally closed by one dot; a dotted IPv4 address is one) as it stands, a bracketed
// IPv6 literal in its "ipv6-literal.net" form. False for anything else: a host with a
// backslash, slash, blank or dot sequence could turn "\\host" into the path of an
// arbitrary share, a program or a Win32 device.
bool UncHostFromUrlHost(const wchar_t* urlHost, wchar_t (&uncHost)[kUncHostCapacity]) noexcept;

}  // namespace zorva
