#include "support/iat_patch.h"

#include <cstring>
#include <stdexcept>

namespace zorva_test {
namespace {

// Calls visit(dll, function, slot) for every import by name of the module.
template <typename Visit>
void ForEachImportByName(HMODULE module, Visit visit)
{
    BYTE* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (module == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) {
        throw std::runtime_error("not a loaded PE module");
    }
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) {
        throw std::runtime_error("no PE header");
    }
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return;
    }
    for (const auto* descriptor =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        // Without the name table the resolved slots are all that is left: nothing to match.
        if (descriptor->OriginalFirstThunk == 0) {
            continue;
        }
        const char* dll = reinterpret_cast<const char*>(base + descriptor->Name);
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            visit(dll, reinterpret_cast<const char*>(byName->Name), reinterpret_cast<void**>(&slots->u1.Function));
        }
    }
}

// The import table sits in a read-only section once the loader is done with it.
bool WriteSlot(void** slot, void* value)
{
    DWORD oldProtection = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtection)) {
        return false;
    }
    *slot = value;
    VirtualProtect(slot, sizeof(void*), oldProtection, &oldProtection);
    return true;
}

// One thunk per counted slot:
//   lock inc qword ptr [rip+8]    ; the counter at +16
//   jmp qword ptr [rip+10]        ; the original at +24
constexpr size_t kThunkSize = 32;
constexpr size_t kCounterOffset = 16;
constexpr size_t kTargetOffset = 24;
constexpr unsigned char kThunkCode[] = {0xF0, 0x48, 0xFF, 0x05, 0x08, 0x00, 0x00, 0x00,
                                        0xFF, 0x25, 0x0A, 0x00, 0x00, 0x00, 0xCC, 0xCC};
static_assert(sizeof(kThunkCode) == kCounterOffset, "the counter follows the code");

unsigned long long ThunkCount(const unsigned char* thunk)
{
    return *reinterpret_cast<const volatile unsigned long long*>(thunk + kCounterOffset);
}

}  // namespace

IatPatch::IatPatch(HMODULE module, const char* function, const void* replacement)
{
    ForEachImportByName(module, [&](const char*, const char* name, void** slot) {
        if (std::strcmp(name, function) == 0) {
            slots_.push_back(slot);
        }
    });
    for (size_t index = 0; index < slots_.size(); ++index) {
        if (original_ == nullptr) {
            original_ = *slots_[index];
        }
        if (!WriteSlot(slots_[index], const_cast<void*>(replacement))) {
            const DWORD error = GetLastError();
            slots_.resize(index);
            Restore();
            throw std::runtime_error("VirtualProtect failed: " + std::to_string(error));
        }
    }
}

IatPatch::~IatPatch()
{
    Restore();
}

void IatPatch::Restore() noexcept
{
    for (void** slot : slots_) {
        WriteSlot(slot, original_);
    }
}

ImportCallCounter::ImportCallCounter(HMODULE module, const ImportFilter& filter)
{
    ForEachImportByName(module, [&](const char* dll, const char* name, void** slot) {
        if (filter(dll, name)) {
            entries_.push_back(Entry{dll, name, slot, *slot, nullptr});
        }
    });
    if (entries_.empty()) {
        return;
    }
    code_ = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, entries_.size() * kThunkSize, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    if (code_ == nullptr) {
        throw std::runtime_error("VirtualAlloc failed: " + std::to_string(GetLastError()));
    }
    for (size_t index = 0; index < entries_.size(); ++index) {
        Entry& entry = entries_[index];
        entry.thunk = code_ + index * kThunkSize;
        std::memcpy(entry.thunk, kThunkCode, sizeof(kThunkCode));
        std::memset(entry.thunk + kCounterOffset, 0, sizeof(unsigned long long));
        std::memcpy(entry.thunk + kTargetOffset, &entry.original, sizeof(void*));
    }
    FlushInstructionCache(GetCurrentProcess(), code_, entries_.size() * kThunkSize);
    for (size_t index = 0; index < entries_.size(); ++index) {
        if (!WriteSlot(entries_[index].slot, entries_[index].thunk)) {
            const DWORD error = GetLastError();
            entries_.resize(index);
            Restore();
            throw std::runtime_error("VirtualProtect failed: " + std::to_string(error));
        }
    }
}

ImportCallCounter::~ImportCallCounter()
{
    Restore();
}

void ImportCallCounter::Restore() noexcept
{
    for (Entry& entry : entries_) {
        WriteSlot(entry.slot, entry.original);
    }
    if (code_ != nullptr) {
        VirtualFree(code_, 0, MEM_RELEASE);
        code_ = nullptr;
    }
}

unsigned long long ImportCallCounter::TotalCalls() const
{
    unsigned long long total = 0;
    for (const Entry& entry : entries_) {
        total += ThunkCount(entry.thunk);
    }
    return total;
}

std::string ImportCallCounter::Describe() const
{
    std::string text;
    for (const Entry& entry : entries_) {
        unsigned long long calls = ThunkCount(entry.thunk);
        if (calls != 0) {
            text += (text.empty() ? "" : ", ") + entry.function + " x" + std::to_string(calls);
        }
    }
    return text.empty() ? "no calls" : text;
}

}  // namespace zorva_test
