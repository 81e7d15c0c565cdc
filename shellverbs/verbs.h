#pragma once

#include "common/product.h"

#include <cstddef>
#include <iterator>

namespace zorva {

// The verbs of shellverbs/verbs.inc, in its order.
enum class Verb {
#define ZORVA_VERB(name, entryPoint, action) name,
#include "shellverbs/verbs.inc"
};

struct VerbRow {
    Verb verb;
    const wchar_t* command;  // the registered command line
};

inline constexpr VerbRow kVerbs[] = {
#define ZORVA_VERB(name, entryPoint, action) {Verb::name, ZORVA_VERB_COMMAND(entryPoint)},
#include "shellverbs/verbs.inc"
};

inline constexpr size_t kVerbCount = std::size(kVerbs);

// The one whose key the shell key's default value names.
inline constexpr Verb kDefaultVerb = kVerbs[0].verb;

constexpr size_t IndexOf(Verb verb) noexcept
{
    return static_cast<size_t>(verb);
}

}  // namespace zorva
