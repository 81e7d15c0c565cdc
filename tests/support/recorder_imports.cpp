// The recorder's patching of a module's import slots.

#include "support/recorder_internal.h"

#include <cstring>
#include <mutex>
#include <stdexcept>

namespace zorva_test::recording {
namespace {

// Calls visit(function name, slot) for every import by name of the module.
template <typename Visit>
void ForEachImport(HMODULE module, Visit visit)
{
    BYTE* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (module == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) {
        throw std::runtime_error("not a loaded PE module");
    }
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         directory.VirtualAddress != 0 && entry->Name != 0; ++entry) {
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; entry->OriginalFirstThunk != 0 && names->u1.AddressOfData != 0; ++names, ++slots) {
            if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                visit(reinterpret_cast<const char*>(byName->Name), reinterpret_cast<void**>(&slots->u1.Function));
            }
        }
    }
}

}  // namespace

// The import table sits in a read-only section once the loader is done with it.
void WriteSlot(void** slot, void* value)
{
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection)) {
        throw std::runtime_error("VirtualProtect failed: " + std::to_string(GetLastError()));
    }
    *slot = value;
    VirtualProtect(slot, sizeof(void*), protection, &protection);
}

void Patch(State& state, HMODULE module, const std::set<std::string>& only)
{
    const std::lock_guard<SlimLock> held(state.lock);
    const auto patch = [&](const Row& row, void** slot) {
        if ((!only.empty() && only.count(row.name) == 0) || *slot == row.hook) {
            return;
        }
        if (row.slot->real == nullptr) {
            row.slot->real = *slot;
        }
        state.patched.emplace_back(slot, *slot);
        state.patchedFunctions.insert(row.name);
        WriteSlot(slot, row.hook);
    };
    ForEachImport(module, [&](const char* name, void** slot) {
        if (const Row* row = FindRow(name)) {
            patch(*row, slot);
        }
    });
    // Delay-loaded imports that were called before: their slots, in the import section
    // like all others, hold the functions' addresses themselves.
    BYTE* base = reinterpret_cast<BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (std::strncmp(reinterpret_cast<const char*>(section->Name), ".idata", 8) != 0) {
            continue;
        }
        auto** slots = reinterpret_cast<void**>(base + section->VirtualAddress);
        for (const Row& row : Rows()) {
            const HMODULE loaded = row.delayLoadedFrom != nullptr ? GetModuleHandleW(row.delayLoadedFrom) : nullptr;
            const FARPROC bound = loaded != nullptr ? GetProcAddress(loaded, row.name) : nullptr;
            for (DWORD slot = 0; bound != nullptr && slot < section->Misc.VirtualSize / sizeof(void*); ++slot) {
                if (slots[slot] == reinterpret_cast<void*>(bound)) {
                    patch(row, &slots[slot]);
                }
            }
        }
    }
}

FARPROC WINAPI DelayLoadLookup(HMODULE module, LPCSTR name)
{
    const Row* self = FindRow("GetProcAddress");
    const auto real = reinterpret_cast<decltype(&GetProcAddress)>(self->slot->real);
    const FARPROC found = real(module, name);
    const Row* row = IS_INTRESOURCE(name) ? nullptr : FindRow(name);
    if (found == nullptr || row == nullptr || row == self) {
        return found;
    }
    if (row->slot->real == nullptr) {
        row->slot->real = reinterpret_cast<void*>(found);
    }
    return reinterpret_cast<FARPROC>(row->hook);
}

}  // namespace zorva_test::recording
