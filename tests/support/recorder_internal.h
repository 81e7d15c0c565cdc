#pragma once

// What the recorder's parts share: the rows of recorded functions, the recorder's state, the
// account of what calls made and gave back, the patching of import slots.

#include "support/recorder.h"

#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zorva_test::recording {

// What a call does to the resources the recorder keeps account of (common/platform_calls.inc).
enum class Effect {
    None, MakesKey, ReleasesKey, MakesBlock, ReleasesBlock, Reallocates, EntersCom, LeavesCom, MakesProcess, MakesSet,
    ReleasesHandle
};

// How a call may fail on purpose.
enum class Failure {
    Never,     // no failure result: always passed on
    Returns,   // returns the failure result without calling the real function
    Releases,  // calls the real function (so nothing leaks), then reports the failure
    Heap,      // like Returns; failing from then on takes every allocation with it
};

struct Row {
    const char* name;
    void* hook;
    Slot* slot;
    std::intptr_t failure;
    DWORD lastError;
    Failure kind;
    Effect effect;
    const char* resource;
    const wchar_t* delayLoadedFrom;  // the DLL the library delay-loads it from, if it does
};

const std::vector<Row>& Rows();
const Row* FindRow(const char* name);

// A slim lock: std::mutex would make the winpthreads runtime create a thread handle and an
// event for each thread that takes it, which would count as handles the run leaked.
class SlimLock {
public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

struct State {
    mutable SlimLock lock;
    std::vector<PlatformCall> calls;
    std::map<const void*, std::string> ids;
    std::map<std::pair<std::string, const void*>, std::string> outstanding;  // what, by whom
    std::vector<std::pair<void**, void*>> patched;                            // slot, original
    std::set<std::string> patchedFunctions;
    size_t failAt = 0;
    Failing mode = Failing::Once;
    std::string failingKind;  // set once the k-th call has failed, with FromThenOn

    void Make(const char* resource, const void* what, const std::string& by)
    {
        if (what != nullptr) {
            outstanding[{resource, what}] = by;
        }
    }
    void Release(const char* resource, const void* what) { outstanding.erase({resource, what}); }
};

inline std::atomic<State*> g_active{nullptr};

// --- Accounting -------------------------------------------------------------------------------

template <typename T>
const void* Pointer(T value)
{
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<const void*>(value);
    } else {
        return nullptr;
    }
}

// What an argument carries out of a call: the key an HKEY* got, the process handle a launch
// got; nothing for the other arguments.
template <typename T>
const void* Carried(T)
{
    return nullptr;
}
inline const void* Carried(HKEY* key) { return key != nullptr ? *key : nullptr; }
inline const void* Carried(SHELLEXECUTEINFOW* info) { return info->hProcess; }

// Keeps account of what a finished call made and released: its first pointer argument, what
// its arguments carried out when it made them, what it returned as a pointer.
void Account(State& state, const Row& row, const std::string& by, bool succeeded, const void* first,
             const std::vector<const void*>& carried, const void* result);

// --- Import patching --------------------------------------------------------------------------

// Points the module's import slots of the rows' functions (of `only`, unless empty) at their
// hooks, and keeps the originals in `state` to restore.
void Patch(State& state, HMODULE module, const std::set<std::string>& only);
void WriteSlot(void** slot, void* value);

// The loader's delay-load helper asks for each delay-loaded function by name: it gets the
// hook, which calls what it would have got.
FARPROC WINAPI DelayLoadLookup(HMODULE module, LPCSTR name);

}  // namespace zorva_test::recording
