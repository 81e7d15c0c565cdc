#pragma once

// The verbs of shellverbs/verbs.inc, with their names, for the tests and the tools that run
// every verb. What a verb is expected to do is said in a switch over zorva::Verb without a
// default, so that a verb added to the list does not compile (-Wswitch) until each of them
// says what it expects of it.

#include "shellverbs/verbs.h"

namespace zorva_test {

struct VerbName {
    zorva::Verb verb;
    const char* name;  // as in code, "Mount": names a test case
    const char* entryPoint;
    const wchar_t* wideEntryPoint;
};

inline constexpr VerbName kVerbNames[] = {
#define ZORVA_VERB(name, entryPoint, action) {zorva::Verb::name, #name, #entryPoint, L"" #entryPoint},
#include "shellverbs/verbs.inc"
};

// The enumerators are the rows' places.
constexpr const VerbName& NameOf(zorva::Verb verb)
{
    return kVerbNames[zorva::IndexOf(verb)];
}

}  // namespace zorva_test
