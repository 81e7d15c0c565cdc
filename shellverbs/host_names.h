#pragma once

#include <cstddef>

namespace zorva {

// The longest host a URL may carry here, terminator included: the host buffer that
// FindDeviceHost hands WinHttpCrackUrl. A host of 256 characters or more does not fit.
inline constexpr size_t kUrlHostCapacity = 256;

// The longest UNC server name a URL host can map to, terminator included: an IPv6 literal
// of up to 253 characters between its brackets, with a leading and a trailing "0" and its
// ".ipv6-literal.net" suffix.
inline constexpr size_t kUncHostCapacity = 253 + 2 + 17 + 1;

// The UNC server name for a URL host, written to `uncHost`: a host name (dot-separated
// labels of ASCII letters, digits, '-' and '_', none empty, each with a letter or digit,
// the first not starting with '-', optionally closed by one dot; a dotted IPv4 address is
// one) as it stands, a bracketed IPv6 literal in its "ipv6-literal.net" form. False for
// anything else: a host with a backslash, slash, blank or dot sequence could turn "\\host"
// into the path of an arbitrary share, a program or a Win32 device.
// `Unit` is a UTF-16 code unit: wchar_t on Windows; char16_t where wchar_t is wider, so
// that the rules can be run natively elsewhere on exactly what Windows would hand them.
template <typename Unit>
[[nodiscard]] bool UncHostFromUrlHost(const Unit* urlHost, Unit (&uncHost)[kUncHostCapacity]) noexcept;

}  // namespace zorva
