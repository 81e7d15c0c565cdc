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

// Each verb's names, for the programs that run every verb of the list (the tests, the demo,
// the bench). What such a program expects of a verb it says in a switch over Verb without a
// default, so that a verb added to the list does not compile (-Wswitch) until it is said.
struct VerbName {
    Verb verb;
    const char* name;  // as in code, "Mount"
    const char* entryPoint;
    const wchar_t* wideEntryPoint;
};

inline constexpr VerbName kVerbNames[] = {
#define ZORVA_VERB(name, entryPoint, action) {Verb::name, #name, #entryPoint, L"" #entryPoint},
#include "shellverbs/verbs.inc"
};

// The enumerators are the rows' places.
constexpr const VerbName& NameOf(Verb verb) noexcept
{
    return kVerbNames[IndexOf(verb)];
}

}  // namespace zorva
