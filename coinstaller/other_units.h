#pragma once

#include <windows.h>

#include <setupapi.h>

namespace zorva {

// True when another device node of the element's setup class, present or not, carries the
// element's first hardware ID among its own hardware IDs (compared without regard to case,
// as PnP IDs are). False without a set or an element, and whenever the answer cannot be
// had: a SetupAPI call that fails, memory that runs out.
[[nodiscard]] bool AnotherUnitIsInstalled(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData) noexcept;

}  // namespace zorva
