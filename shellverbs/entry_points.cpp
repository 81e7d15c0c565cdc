// The rundll32 entry points, one for each row of shellverbs/verbs.inc, exported under the
// row's name only: with a W variant exported too, rundll32 would call that one and pass it
// a wide tail.

#include "shellverbs/verb_actions.h"

#define ZORVA_VERB(name, entryPoint, action)                                                           \
    extern "C" __declspec(dllexport) void CALLBACK entryPoint(HWND, HINSTANCE, LPSTR tail, int)        \
    {                                                                                                  \
        zorva::action(tail);                                                                           \
    }
#include "shellverbs/verbs.inc"
