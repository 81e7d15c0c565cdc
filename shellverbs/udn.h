#pragma once

#include <cstring>

namespace zorva {

// Where the appliance's UDN starts in a verb's command-line tail: at the first "uuid:",
// compared byte by byte and case-sensitively; the UDN runs from there to the tail's end.
// Null for a tail without one, and for a null tail. Pure, so that it can be fuzzed natively.
[[nodiscard]] inline const char* FindUdn(const char* tail) noexcept
{
    return tail != nullptr ? std::strstr(tail, "uuid:") : nullptr;
}

}  // namespace zorva
