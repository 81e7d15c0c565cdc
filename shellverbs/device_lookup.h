#pragma once

#include "common/shared_bstr.h"

namespace zorva {

// The appliance's UDN from a verb's command-line tail: everything from the first "uuid:"
// (case-sensitive) to the end, converted from the ANSI code page. S_OK with `udn` holding
// it, S_FALSE with `udn` untouched when the tail has no "uuid:", or the failure of the
// conversion (E_OUTOFMEMORY, or the Win32 error as HRESULT).
[[nodiscard]] HRESULT ExtractDeviceUdn(const char* tail, SharedBstr& udn) noexcept;

// Asks the UPnP device finder for the device with this UDN and assigns the host of its
// description URL, as a UNC server name (see UncHostFromUrlHost), to `host`. False, with
// `host` untouched, when any step fails (memory included) or the host is not a name a UNC
// path may use as its server.
[[nodiscard]] bool FindDeviceHost(const SharedBstr& udn, SharedBstr& host) noexcept;

}  // namespace zorva
