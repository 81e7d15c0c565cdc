#pragma once

// One recorder of the platform calls a module makes, for the whole suite. It rewrites the
// module's import slots of every platform function the library uses, so that each call is
// recorded by value (strings, structures field by field, what out-parameters got back)
// and then passed on to the real function, answered by a replacement, or failed on purpose
// with that function's documented failure result and last error.
//
// Delay-loaded functions are caught where the loader's helper asks GetProcAddress for them,
// or, when the module has called them before, in the slots the helper bound. Only one
// recorder is active at a time.

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace zorva_test {

namespace recording {
// One per recorded function, keyed by it: where its hook finds the real function and a replacement.
struct Slot {
    void* real = nullptr;
    const void* replacement = nullptr;
    size_t row = 0;
};
template <auto Function>
inline Slot g_slot;
struct State;
}  // namespace recording

struct PlatformCall {
    std::string function;
    std::string arguments;  // each by value; "-> x" is what an out-parameter got back
    std::string result;
    bool injected = false;  // failed on purpose instead of being passed on

    std::string Text() const { return function + "(" + arguments + ") = " + result; }
};

enum class Failing { Once, FromThenOn };

class PlatformRecorder {
public:
    // Records the calls `module` makes from now on: of all the library's platform functions,
    // or of these only.
    explicit PlatformRecorder(HMODULE module, const std::vector<std::string>& functions = {});
    ~PlatformRecorder();
    PlatformRecorder(const PlatformRecorder&) = delete;
    PlatformRecorder& operator=(const PlatformRecorder&) = delete;

    // Records the calls of a further module as well, of these functions only (the BSTRs a
    // stand-in hands out, say).
    void Attach(HMODULE module, const std::vector<std::string>& functions);

    // Forgets the calls so far and what they made, and fails nothing any more.
    void Restart();

    std::vector<PlatformCall> Calls() const;
    // The calls of these functions only, as text, every "#n" (an object, a handle or a
    // buffer, numbered in order of appearance) written "#".
    std::vector<std::string> Texts(const std::vector<std::string>& functions) const;
    size_t Count(const std::string& function) const;

    // The k-th call from now on (counting from 1, every recorded call counts) fails; with
    // FromThenOn so does every later call of the same kind: of the same function, or of any
    // allocation function once the heap or the BSTR allocator has failed. Functions that
    // cannot fail (lstrlenW, SysFreeString, ...) are passed on and never count as failed;
    // failing a release (RegCloseKey, CloseHandle) still releases.
    void FailAt(size_t k, Failing mode);
    // True when such a call can be failed.
    static bool CanFail(const PlatformCall& call);
    // True when such a call allocates (from the heap or the BSTR allocator).
    static bool IsAllocation(const PlatformCall& call);

    // Calls of `Function` go to `replacement` instead of the real function; they are
    // recorded as usual. A replacement of another signature does not compile.
    template <auto Function, typename Replacement>
    void Replace(Replacement replacement)
    {
        static_assert(std::is_same_v<Replacement, decltype(Function)>,
                      "a replacement has the signature of the function it replaces");
        ReplaceAt(recording::g_slot<Function>, reinterpret_cast<const void*>(replacement));
    }
    // The real function behind a patched import, for a replacement that passes on.
    template <auto Function>
    static decltype(Function) Real()
    {
        return reinterpret_cast<decltype(Function)>(recording::g_slot<Function>.real);
    }

    // The functions whose import slots in the recorded modules it rewrote; a delay-loaded
    // function only once the module has called it (before, GetProcAddress hands out its hook).
    std::vector<std::string> Patched() const;

    // What the calls since the last restart made and did not give back: registry keys,
    // BSTRs, heap blocks, process handles, entries into COM. Empty when all was released.
    std::vector<std::string> Outstanding() const;

private:
    static void ReplaceAt(recording::Slot& slot, const void* replacement);

    std::unique_ptr<recording::State> state_;
};

// The system UI language a module sees once PlaySystemUiLanguage has put this stand-in into
// its GetSystemDefaultUILanguage slot.
inline LANGID g_playedUiLanguage = 0;
inline LANGID WINAPI PlayedUiLanguage()
{
    return g_playedUiLanguage;
}

inline void PlaySystemUiLanguage(PlatformRecorder& recorder, LANGID language)
{
    g_playedUiLanguage = language;
    recorder.Replace<&::GetSystemDefaultUILanguage>(&PlayedUiLanguage);
}

// The number of handles this process holds (from the system's handle table: Wine does not
// implement GetProcessHandleCount).
ULONG HandlesHeld();

}  // namespace zorva_test
