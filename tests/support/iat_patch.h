#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace zorva_test {

// Redirects a loaded module's calls to one imported function, for as long as the object
// lives. Every import-address-table slot of `module` that imports `function` by name is
// rewritten, whichever DLL it comes from (kernel32, kernelbase or an api-ms-win-* set),
// so a test can make a system call fail or answer differently inside the real DLL only.
// The loader has already resolved the slots, so the original is the real entry point
// (after forwarding) and the replacement may call it.
class IatPatch {
public:
    IatPatch(HMODULE module, const char* function, const void* replacement);
    ~IatPatch();
    IatPatch(const IatPatch&) = delete;
    IatPatch& operator=(const IatPatch&) = delete;

    // How many slots were rewritten; zero when the module does not import the function.
    size_t Slots() const { return slots_.size(); }

    // The address the slots held before, for a replacement that forwards.
    template <typename Function>
    Function Original() const
    {
        return reinterpret_cast<Function>(original_);
    }

private:
    void Restore() noexcept;

    std::vector<void**> slots_;
    void* original_ = nullptr;
};

// Chooses imports by the name of the DLL they come from and their own name.
using ImportFilter = std::function<bool(const char* dll, const char* function)>;

// Counts every call that a loaded module makes to the imported functions that `filter`
// chooses, and lets each call through unchanged. Each slot gets a small thunk that bumps
// its own counter and jumps to the original, so no signature needs to be known: a test
// can show that a request touched no registry function and no SetupAPI function at all,
// whichever of them the module happens to import, and from whichever DLL.
class ImportCallCounter {
public:
    ImportCallCounter(HMODULE module, const ImportFilter& filter);
    ~ImportCallCounter();
    ImportCallCounter(const ImportCallCounter&) = delete;
    ImportCallCounter& operator=(const ImportCallCounter&) = delete;

    size_t Functions() const { return entries_.size(); }
    unsigned long long TotalCalls() const;
    // "RegOpenKeyExW x2, RegCloseKey x1": what was called, for failure messages.
    std::string Describe() const;

private:
    void Restore() noexcept;

    struct Entry {
        std::string dll;
        std::string function;
        void** slot;
        void* original;
        unsigned char* thunk;
    };
    std::vector<Entry> entries_;
    unsigned char* code_ = nullptr;
};

}  // namespace zorva_test
