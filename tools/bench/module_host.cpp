// A fresh process for one entry point of the installed library. It loads the tiny empty
// DLL, then the library, calls the entry point once and prints the modules each step added
// to the process, one line each (lower-case names, sorted):
//   load <module>...   what loading the library brought beyond the empty DLL
//   call <module>...   what the call brought beyond the loaded library
//
//   zorva-bench-modules.exe CoDeviceInstall <DIF code>
//   zorva-bench-modules.exe ShellCommandOpen|ShellCommandMount|ShellCommandInstall <tail>
//
// It imports nothing but KERNEL32, NTDLL (in every process from its start) and the C runtime,
// so that a system DLL an entry point pulls in cannot hide among the host's own imports.

#include "common/product.h"
#include "console/owners.h"

#include <windows.h>

#include <setupapi.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <set>
#include <string>

namespace {

using CoInstallerEntry = DWORD(CALLBACK*)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);
using VerbEntry = void(CALLBACK*)(HWND, HINSTANCE, LPSTR, int);

// The base names of the modules in the loader's own list, read in place. (A toolhelp snapshot
// reads that list through the wineserver as another process's memory, which arm64 Wine under
// qemu-user refuses with ERROR_ACCESS_DENIED.) The list always holds the host itself: an empty
// one would report every step as loading nothing.
std::set<std::string> Modules()
{
    std::set<std::string> names;
    PROCESS_BASIC_INFORMATION process = {};
    if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &process, sizeof(process),
                                  nullptr) != 0) {
        std::fprintf(stderr, "NtQueryInformationProcess failed\n");
        ExitProcess(2);
    }
    const LIST_ENTRY* head = &process.PebBaseAddress->Ldr->InMemoryOrderModuleList;
    for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
        const UNICODE_STRING& path = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks)->FullDllName;
        const wchar_t* const end = path.Buffer + path.Length / sizeof(wchar_t);
        const wchar_t* begin = end;
        while (begin != path.Buffer && begin[-1] != L'\\' && begin[-1] != L'/') {
            --begin;
        }
        std::string name;
        for (const wchar_t* c = begin; c != end; ++c) {
            name += static_cast<char>(std::towlower(*c));
        }
        names.insert(name);
    }
    if (names.empty()) {
        std::fprintf(stderr, "the loader lists no module\n");
        ExitProcess(2);
    }
    return names;
}

void Print(const char* step, const std::set<std::string>& before, const std::set<std::string>& after)
{
    std::printf("%s", step);
    for (const std::string& name : after) {
        if (before.count(name) == 0) {
            std::printf(" %s", name.c_str());
        }
    }
    std::printf("\n");
}

void* MustFind(HMODULE module, const std::wstring& name)
{
    void* entry = reinterpret_cast<void*>(GetProcAddress(module, std::string(name.begin(), name.end()).c_str()));
    if (entry == nullptr) {
        std::fprintf(stderr, "no export %ls\n", name.c_str());
        ExitProcess(2);
    }
    return entry;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: zorva-bench-modules.exe ENTRY ARGUMENT\n");
        return 2;
    }
    const std::wstring entry = argv[1];
    const zorva::UniqueModule empty(LoadLibraryW(L"zorva_bench_empty.dll"));
    const std::set<std::string> base = Modules();
    const zorva::UniqueModule library(LoadLibraryW(ZORVA_INSTALLED_DLL));
    if (!empty || !library) {
        std::fprintf(stderr, "LoadLibraryW failed: %lu\n", GetLastError());
        return 2;
    }
    const std::set<std::string> loaded = Modules();

    if (entry == L"CoDeviceInstall") {
        // SetupAPI's device set goes unused for installing and removing the trees.
        COINSTALLER_CONTEXT_DATA context = {};
        reinterpret_cast<CoInstallerEntry>(MustFind(library.get(), entry))(
            static_cast<DI_FUNCTION>(std::wcstoul(argv[2], nullptr, 0)), INVALID_HANDLE_VALUE, nullptr, &context);
    } else {
        std::string tail(argv[2], argv[2] + std::wcslen(argv[2]));
        reinterpret_cast<VerbEntry>(MustFind(library.get(), entry))(nullptr, nullptr, &tail[0], SW_SHOWDEFAULT);
    }

    Print("load", base, loaded);
    Print("call", loaded, Modules());
    std::fflush(stdout);
    return 0;
}
