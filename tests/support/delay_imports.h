#pragma once

// The delay-loaded imports of a module mapped as an image. lld (the ARM64 build) lists their
// descriptors in the image's delay-import directory. GNU ld leaves that directory empty for
// dlltool's delay-import libraries: their descriptors are found where dlltool puts them,
// 16-byte aligned in the code section (attributes 1: RVAs; the RVAs of a DLL's name, its
// module slot, its import slots and its names; nothing bound).

#include <windows.h>

#include <map>
#include <string>

namespace zorva_test {

struct DelayImport {
    std::string dll;  // as the image names it: "setupapi.dll"
    FARPROC* slot;    // the loader helper's thunk until the first call binds it
};

// By function name.
inline std::map<std::string, DelayImport> DelayImports(const void* image)
{
    auto* base = static_cast<BYTE*>(const_cast<void*>(image));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto inImage = [nt](DWORD rva) { return rva != 0 && rva < nt->OptionalHeader.SizeOfImage; };
    std::map<std::string, DelayImport> imports;
    const auto add = [&](const IMAGE_DELAYLOAD_DESCRIPTOR* dll) {
        if (dll->Attributes.AllAttributes != 1 || !inImage(dll->DllNameRVA) || !inImage(dll->ModuleHandleRVA) ||
            !inImage(dll->ImportAddressTableRVA) || !inImage(dll->ImportNameTableRVA) ||
            dll->BoundImportAddressTableRVA != 0 || dll->TimeDateStamp != 0) {
            return;
        }
        const std::string name(reinterpret_cast<const char*>(base + dll->DllNameRVA),
                               strnlen(reinterpret_cast<const char*>(base + dll->DllNameRVA), MAX_PATH));
        if (name.size() < 5 || _stricmp(name.c_str() + name.size() - 4, ".dll") != 0) {
            return;
        }
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->ImportNameTableRVA);
        auto* slot = reinterpret_cast<FARPROC*>(base + dll->ImportAddressTableRVA);
        for (; names->u1.AddressOfData != 0; ++names, ++slot) {
            imports[reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name] = {name, slot};
        }
    };
    const DWORD directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].VirtualAddress;
    if (directory != 0) {
        for (const auto* dll = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(base + directory);
             dll->DllNameRVA != 0; ++dll) {
            add(dll);
        }
        return imports;
    }
    const IMAGE_SECTION_HEADER* code = IMAGE_FIRST_SECTION(nt);
    for (DWORD offset = 0; offset + sizeof(IMAGE_DELAYLOAD_DESCRIPTOR) <= code->Misc.VirtualSize; offset += 16) {
        add(reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(base + code->VirtualAddress + offset));
    }
    return imports;
}

}  // namespace zorva_test
