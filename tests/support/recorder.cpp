#include "support/recorder.h"

#include <objbase.h>
#include <oleauto.h>
#include <setupapi.h>
#include <shellapi.h>
#include <winhttp.h>
#include <winnetwk.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <vector>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace zorva_test {
namespace {

// What a call does to the resources the recorder keeps account of.
enum class Effect {
    None,
    MakesKey,       // a key in an HKEY* out-parameter, on ERROR_SUCCESS
    ReleasesKey,    // the HKEY argument
    MakesBlock,     // the pointer it returns (a BSTR, a heap block)
    ReleasesBlock,  // its pointer argument
    Reallocates,    // realloc: releases its argument, makes what it returns
    EntersCom,      // S_OK or S_FALSE: this thread must leave COM once
    LeavesCom,
    MakesProcess,   // SHELLEXECUTEINFOW::hProcess
    MakesSet,       // the device information set it returns, unless INVALID_HANDLE_VALUE
    ReleasesHandle,
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
    void** real;
    const void** replacement;
    size_t* index;
    std::intptr_t failure;
    DWORD lastError;
    Failure kind;
    Effect effect;
    const char* resource;
    const wchar_t* delayLoadedFrom;  // the DLL the library delay-loads it from, if it does
};

template <typename Tag>
struct Slots {
    static inline void* real = nullptr;
    static inline const void* replacement = nullptr;
    static inline size_t row = 0;
};

struct Tag_RegEnumKeyExW;
struct Tag_RegSetKeyValueW;
struct Tag_SysAllocStringLen;
struct Tag_GetProcAddress;

std::atomic<PlatformRecorder::State*> g_active{nullptr};
// Set on a thread while the recorder does its own work there, which is not recorded. A
// Windows TLS slot, not thread_local: the runtime's emulated TLS would make winpthreads
// take a thread handle and an event for each thread, counted as handles the run leaked.
const DWORD g_insideSlot = TlsAlloc();

bool Inside() { return TlsGetValue(g_insideSlot) != nullptr; }

class InsideRecorder {
public:
    InsideRecorder() { TlsSetValue(g_insideSlot, reinterpret_cast<void*>(1)); }
    ~InsideRecorder() { TlsSetValue(g_insideSlot, nullptr); }
    InsideRecorder(const InsideRecorder&) = delete;
    InsideRecorder& operator=(const InsideRecorder&) = delete;
};

const std::vector<Row>& Rows();

// --- Rendering by value ---------------------------------------------------------------------

struct Out {
    PlatformRecorder::State& state;
    std::string text;
    void Add(const std::string& part) { text += (text.empty() ? "" : ", ") + part; }
};

std::string Id(PlatformRecorder::State& state, const void* pointer);

std::string Hex(unsigned long long value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", value);
    return text;
}

std::string Quoted(const wchar_t* text, size_t limit = 4096)
{
    if (text == nullptr) {
        return "null";
    }
    std::string out = "\"";
    for (size_t i = 0; i < limit && text[i] != L'\0'; ++i) {
        const wchar_t c = text[i];
        char unit[16];
        if (c >= 0x20 && c < 0x7F && c != L'"' && c != L'\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(unit, sizeof(unit), c == L'\\' ? "\\\\" : c == L'"' ? "\\\"" : "\\u%04x",
                          static_cast<unsigned>(c));
            out += unit;
        }
    }
    return out + "\"";
}

std::string Quoted(const char* text)
{
    return text == nullptr ? "null" : "\"" + std::string(text) + "\"";
}

std::string KeyName(PlatformRecorder::State& state, HKEY key)
{
    const std::pair<HKEY, const char*> roots[] = {
        {HKEY_CLASSES_ROOT, "HKCR"}, {HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"}};
    for (const auto& [root, name] : roots) {
        if (key == root) {
            return name;
        }
    }
    return Id(state, key);
}

void In(Out& o, HKEY key) { o.Add(KeyName(o.state, key)); }
void In(Out& o, const wchar_t* text) { o.Add(Quoted(text)); }
void In(Out& o, const char* text) { o.Add(Quoted(text)); }
void In(Out& o, const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    o.Add(Quoted(text).substr(1, 38));
}
void In(Out& o, const GUID* guid)
{
    if (guid == nullptr) {
        o.Add("null");
    } else {
        In(o, *guid);
    }
}
template <typename T>
void In(Out& o, T value)
{
    if constexpr (std::is_pointer_v<T>) {
        // Buffers, handles and objects by identity; their text would not be theirs yet.
        o.Add(Id(o.state, reinterpret_cast<const void*>(value)));
    } else if constexpr (std::is_unsigned_v<T>) {
        o.Add(Hex(value));
    } else {
        o.Add(value < 0 ? Hex(static_cast<unsigned long>(value)) : std::to_string(value));
    }
}
void In(Out& o, DWORD* value) { o.Add(value == nullptr ? "null" : "&" + Hex(*value)); }
void In(Out& o, HKEY*) { o.Add("&key"); }
void In(Out& o, SHELLEXECUTEINFOW* i)
{
    o.Add("{cbSize=" + std::to_string(i->cbSize) + " fMask=" + Hex(i->fMask) + " hwnd=" + Id(o.state, i->hwnd) +
          " lpVerb=" + Quoted(i->lpVerb) + " lpFile=" + Quoted(i->lpFile) + " lpParameters=" +
          Quoted(i->lpParameters) + " lpDirectory=" + Quoted(i->lpDirectory) + " nShow=" + std::to_string(i->nShow) +
          " hInstApp=" + Id(o.state, i->hInstApp) + " lpIDList=" + Id(o.state, i->lpIDList) +
          " lpClass=" + Quoted(i->lpClass) + " hkeyClass=" + Id(o.state, i->hkeyClass) +
          " dwHotKey=" + Hex(i->dwHotKey) + " hIcon=" + Id(o.state, i->hIcon) +
          " hProcess=" + Id(o.state, i->hProcess) + "}");
}
void In(Out& o, NETRESOURCEW* r)
{
    o.Add("{dwScope=" + Hex(r->dwScope) + " dwType=" + Hex(r->dwType) + " dwDisplayType=" + Hex(r->dwDisplayType) +
          " dwUsage=" + Hex(r->dwUsage) + " lpLocalName=" + Quoted(r->lpLocalName) +
          " lpRemoteName=" + Quoted(r->lpRemoteName) + " lpComment=" + Quoted(r->lpComment) +
          " lpProvider=" + Quoted(r->lpProvider) + "}");
}
void In(Out& o, URL_COMPONENTS* c)
{
    o.Add("{dwStructSize=" + std::to_string(c->dwStructSize) + " scheme=" + Id(o.state, c->lpszScheme) + "/" +
          Hex(c->dwSchemeLength) + " host=" + Id(o.state, c->lpszHostName) + "/" + Hex(c->dwHostNameLength) +
          " user=" + Id(o.state, c->lpszUserName) + "/" + Hex(c->dwUserNameLength) +
          " password=" + Id(o.state, c->lpszPassword) + "/" + Hex(c->dwPasswordLength) +
          " path=" + Id(o.state, c->lpszUrlPath) + "/" + Hex(c->dwUrlPathLength) +
          " extra=" + Id(o.state, c->lpszExtraInfo) + "/" + Hex(c->dwExtraInfoLength) + "}");
}
void In(Out& o, SP_DEVINSTALL_PARAMS_W* p)
{
    o.Add("{cbSize=" + std::to_string(p->cbSize) + " Flags=" + Hex(p->Flags) + " FlagsEx=" + Hex(p->FlagsEx) + "}");
}

// What out-parameters got back; nothing for the other arguments.
template <typename T>
void After(Out&, T)
{
}
void After(Out& o, DWORD* value)
{
    if (value != nullptr) {
        o.Add("-> " + Hex(*value));
    }
}
void After(Out& o, HKEY* key)
{
    if (key != nullptr) {
        o.Add("-> " + KeyName(o.state, *key));
    }
}
void After(Out& o, void** object)
{
    if (object != nullptr) {
        o.Add("-> " + Id(o.state, *object));
    }
}
void After(Out& o, SHELLEXECUTEINFOW* i) { o.Add("-> hProcess=" + Id(o.state, i->hProcess)); }
void After(Out& o, URL_COMPONENTS* c) { o.Add("-> host=" + Quoted(c->lpszHostName, c->dwHostNameLength)); }
void After(Out& o, SP_DEVINSTALL_PARAMS_W* p) { o.Add("-> Flags=" + Hex(p->Flags) + " FlagsEx=" + Hex(p->FlagsEx)); }

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

// The resources an argument carries out of a call: the key an HKEY* got, the process
// handle a launch got.
template <typename T>
void MadeThrough(PlatformRecorder::State&, const char*, const std::string&, T)
{
}
void MadeThrough(PlatformRecorder::State& state, const char* resource, const std::string& by, HKEY* key);
void MadeThrough(PlatformRecorder::State& state, const char* resource, const std::string& by,
                 SHELLEXECUTEINFOW* info);

}  // namespace

// A slim lock: std::mutex would make the winpthreads runtime create a thread handle and an
// event for each thread that takes it, which would count as handles the run leaked.
class SlimLock {
public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

struct PlatformRecorder::State {
    mutable SlimLock lock;
    std::vector<PlatformCall> calls;
    std::map<const void*, std::string> ids;
    std::map<std::pair<std::string, const void*>, std::string> outstanding;  // what, by whom
    std::vector<std::pair<void**, void*>> patched;                            // slot, original
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

namespace {

std::string Id(PlatformRecorder::State& state, const void* pointer)
{
    if (pointer == nullptr) {
        return "null";
    }
    auto [it, added] = state.ids.emplace(pointer, "");
    if (added) {
        it->second = "#" + std::to_string(state.ids.size());
    }
    return it->second;
}

std::string KindOf(const Row& row)
{
    return row.kind == Failure::Heap ? std::string("heap") : std::string(row.name);
}

// Decides, for the call just counted, whether it fails.
bool Injects(PlatformRecorder::State& state, const Row& row)
{
    if (row.kind == Failure::Never) {
        return false;
    }
    if (!state.failingKind.empty()) {
        return state.failingKind == KindOf(row);
    }
    if (state.failAt != state.calls.size()) {
        return false;
    }
    if (state.mode == Failing::FromThenOn) {
        state.failingKind = KindOf(row);
    }
    return true;
}

void MadeThrough(PlatformRecorder::State& state, const char* resource, const std::string& by, HKEY* key)
{
    if (key != nullptr) {
        state.Make(resource, *key, by);
    }
}

void MadeThrough(PlatformRecorder::State& state, const char* resource, const std::string& by,
                 SHELLEXECUTEINFOW* info)
{
    state.Make(resource, info->hProcess, by);
}

template <typename Tag, typename F>
struct Hook;

template <typename Tag, typename R, typename... A>
struct Hook<Tag, R (*)(A...)> {
    using Result = std::conditional_t<std::is_void_v<R>, int, R>;

    static R WINAPI Call(A... args)
    {
        using Function = R (*)(A...);
        const Row& row = Rows()[Slots<Tag>::row];
        const auto real = reinterpret_cast<Function>(Slots<Tag>::replacement != nullptr ? Slots<Tag>::replacement
                                                                                      : Slots<Tag>::real);
        PlatformRecorder::State* state = g_active.load();
        if (state == nullptr || Inside()) {
            return real(args...);
        }
        // Everything but the real call happens under the lock, and is not recorded itself.
        const size_t index = Begin(*state, row, args...);
        const bool injected = state->calls[index].injected;
        Result result{};
        if (!injected || row.kind == Failure::Releases) {
            if constexpr (std::is_void_v<R>) {
                real(args...);
            } else {
                result = real(args...);
            }
        }
        if (injected) {
            if constexpr (std::is_pointer_v<Result>) {
                result = reinterpret_cast<Result>(row.failure);
            } else {
                result = static_cast<Result>(row.failure);
            }
            SetLastError(row.lastError);
        }
        const DWORD lastError = GetLastError();
        Finish(*state, row, index, result, args...);
        SetLastError(lastError);
        if constexpr (!std::is_void_v<R>) {
            return result;
        }
    }

    static size_t Begin(PlatformRecorder::State& state, const Row& row, A... args)
    {
        const InsideRecorder inside;
        const std::lock_guard<SlimLock> held(state.lock);
        Out in{state, {}};
        const auto tuple = std::forward_as_tuple(args...);
        if constexpr (std::is_same_v<Tag, Tag_SysAllocStringLen>) {
            // The text need not be terminated: only its counted units.
            in.Add(Quoted(std::get<0>(tuple), std::get<0>(tuple) != nullptr ? std::get<1>(tuple) : 0));
            In(in, std::get<1>(tuple));
        } else if constexpr (std::is_same_v<Tag, Tag_RegSetKeyValueW>) {
            // The data as the text it is (REG_SZ), its stored terminator included.
            In(in, std::get<0>(tuple)), In(in, std::get<1>(tuple)), In(in, std::get<2>(tuple)), In(in, std::get<3>(tuple));
            const std::wstring data(static_cast<const wchar_t*>(std::get<4>(tuple)), std::get<5>(tuple) / sizeof(wchar_t));
            in.Add(Quoted(data.c_str(), data.size()) + (!data.empty() && data.back() == L'\0' ? "+\\0" : ""));
            In(in, std::get<5>(tuple));
        } else {
            (In(in, args), ...);
        }
        state.calls.push_back(PlatformCall{row.name, in.text, "", false});
        state.calls.back().injected = Injects(state, row);
        return state.calls.size() - 1;
    }

    static void Finish(PlatformRecorder::State& state, const Row& row, size_t index, Result result, A... args)
    {
        const InsideRecorder inside;
        const std::lock_guard<SlimLock> held(state.lock);
        PlatformCall& call = state.calls[index];
        Out out{state, call.arguments};
        if constexpr (std::is_same_v<Tag, Tag_RegEnumKeyExW>) {
            const auto tuple = std::forward_as_tuple(args...);
            if (result == ERROR_SUCCESS) {
                out.Add("-> " + Quoted(std::wstring(std::get<2>(tuple), *std::get<3>(tuple)).c_str()));
            }
        }
        (After(out, args), ...);
        call.arguments = out.text;
        Out shown{state, {}};
        if constexpr (std::is_void_v<R>) {
            shown.Add("void");
        } else if constexpr (std::is_pointer_v<R>) {
            shown.Add(Id(state, reinterpret_cast<const void*>(result)));
        } else {
            In(shown, result);
        }
        call.result = shown.text;
        Account(state, row, call.function, result, args...);
    }

    static void Account(PlatformRecorder::State& state, const Row& row, const std::string& by, Result result,
                        A... args)
    {
        const void* first = nullptr;
        ((first = first != nullptr ? first : Pointer(args)), ...);
        bool succeeded = false;
        if constexpr (std::is_pointer_v<Result>) {
            succeeded = result != nullptr;
        } else {
            succeeded = row.effect == Effect::EntersCom ? SUCCEEDED(result) : result == 0;
        }
        switch (row.effect) {
        case Effect::MakesKey:
            if (succeeded) {
                (MadeThrough(state, row.resource, by, args), ...);
            }
            break;
        case Effect::MakesProcess:
            (MadeThrough(state, row.resource, by, args), ...);
            break;
        case Effect::ReleasesKey:
        case Effect::ReleasesBlock:
        case Effect::ReleasesHandle:
            state.Release(row.resource, first);
            break;
        case Effect::Reallocates:
            if (succeeded) {
                state.Release(row.resource, first);
            }
            [[fallthrough]];
        case Effect::MakesBlock:
            state.Make(row.resource, Pointer(result), by);
            break;
        case Effect::MakesSet:
            if (Pointer(result) != INVALID_HANDLE_VALUE) {
                state.Make(row.resource, Pointer(result), by);
            }
            break;
        case Effect::EntersCom:
            if (succeeded) {
                state.Make(row.resource, reinterpret_cast<const void*>(static_cast<uintptr_t>(GetCurrentThreadId())),
                           by);
            }
            break;
        case Effect::LeavesCom:
            state.Release(row.resource, reinterpret_cast<const void*>(static_cast<uintptr_t>(GetCurrentThreadId())));
            break;
        case Effect::None:
            break;
        }
    }
};

// The loader's delay-load helper asks for each delay-loaded function by name: it gets the
// hook, which calls what it would have got.
FARPROC WINAPI DelayLoadLookup(HMODULE module, LPCSTR name);

template <typename Tag, typename F>
Row MakeRow(const char* name, std::intptr_t failure, DWORD lastError, Failure kind, Effect effect,
            const char* resource = "", const wchar_t* delayLoadedFrom = nullptr)
{
    return Row{name,   reinterpret_cast<void*>(&Hook<Tag, F>::Call), &Slots<Tag>::real, &Slots<Tag>::replacement,
               &Slots<Tag>::row, failure, lastError, kind, effect, resource, delayLoadedFrom};
}

#define ZORVA_ROW(function, ...) MakeRow<struct Tag_##function, decltype(&::function)>(#function, __VA_ARGS__)

const std::vector<Row>& Rows()
{
    static const std::vector<Row> rows = [] {
        std::vector<Row> table = {
            ZORVA_ROW(RegOpenKeyExW, ERROR_FILE_NOT_FOUND, 0, Failure::Returns, Effect::MakesKey, "key"),
            ZORVA_ROW(RegCreateKeyExW, ERROR_ACCESS_DENIED, 0, Failure::Returns, Effect::MakesKey, "key"),
            ZORVA_ROW(RegEnumKeyExW, ERROR_MORE_DATA, 0, Failure::Returns, Effect::None),
            ZORVA_ROW(RegQueryValueExW, ERROR_FILE_NOT_FOUND, 0, Failure::Returns, Effect::None),
            ZORVA_ROW(RegSetKeyValueW, ERROR_ACCESS_DENIED, 0, Failure::Returns, Effect::None),
            ZORVA_ROW(RegCloseKey, ERROR_INVALID_HANDLE, 0, Failure::Releases, Effect::ReleasesKey, "key"),
            ZORVA_ROW(NtDeleteKey, static_cast<NTSTATUS>(0xC0000022), 0, Failure::Returns, Effect::None),
            ZORVA_ROW(lstrlenW, 0, 0, Failure::Never, Effect::None),
            ZORVA_ROW(lstrlenA, 0, 0, Failure::Never, Effect::None),
            ZORVA_ROW(GetSystemDefaultUILanguage, 0, 0, Failure::Never, Effect::None),
            ZORVA_ROW(GetLocaleInfoW, 0, ERROR_INVALID_PARAMETER, Failure::Returns, Effect::None),
            ZORVA_ROW(MultiByteToWideChar, 0, ERROR_NO_UNICODE_TRANSLATION, Failure::Returns, Effect::None),
            ZORVA_ROW(SetupDiGetDeviceInstallParamsW, FALSE, ERROR_INVALID_HANDLE, Failure::Returns, Effect::None, "", L"setupapi.dll"),
            ZORVA_ROW(SetupDiSetDeviceInstallParamsW, FALSE, ERROR_INVALID_HANDLE, Failure::Returns, Effect::None, "", L"setupapi.dll"),
            ZORVA_ROW(SetupDiGetDeviceRegistryPropertyW, FALSE, ERROR_NO_SUCH_DEVINST, Failure::Returns, Effect::None, "", L"setupapi.dll"),
            ZORVA_ROW(SetupDiGetDeviceInstanceIdW, FALSE, ERROR_NO_SUCH_DEVINST, Failure::Returns, Effect::None, "", L"setupapi.dll"),
            ZORVA_ROW(SetupDiGetClassDevsW, -1, ERROR_NOT_ENOUGH_MEMORY, Failure::Returns, Effect::MakesSet, "device set", L"setupapi.dll"),
            ZORVA_ROW(SetupDiEnumDeviceInfo, FALSE, ERROR_INVALID_HANDLE, Failure::Returns, Effect::None, "", L"setupapi.dll"),
            ZORVA_ROW(SetupDiDestroyDeviceInfoList, FALSE, ERROR_INVALID_HANDLE, Failure::Releases, Effect::ReleasesHandle, "device set", L"setupapi.dll"),
            ZORVA_ROW(CompareStringOrdinal, 0, 0, Failure::Never, Effect::None),
            ZORVA_ROW(SysAllocString, 0, 0, Failure::Heap, Effect::MakesBlock, "BSTR", L"oleaut32.dll"),
            ZORVA_ROW(SysAllocStringLen, 0, 0, Failure::Heap, Effect::MakesBlock, "BSTR", L"oleaut32.dll"),
            ZORVA_ROW(SysFreeString, 0, 0, Failure::Never, Effect::ReleasesBlock, "BSTR", L"oleaut32.dll"),
            ZORVA_ROW(SysStringLen, 0, 0, Failure::Never, Effect::None, "", L"oleaut32.dll"),
            ZORVA_ROW(CoInitializeEx, E_OUTOFMEMORY, 0, Failure::Returns, Effect::EntersCom, "COM entry", L"ole32.dll"),
            ZORVA_ROW(CoCreateInstance, REGDB_E_CLASSNOTREG, 0, Failure::Returns, Effect::None, "", L"ole32.dll"),
            ZORVA_ROW(CoUninitialize, 0, 0, Failure::Never, Effect::LeavesCom, "COM entry", L"ole32.dll"),
            ZORVA_ROW(WinHttpCrackUrl, FALSE, ERROR_WINHTTP_INVALID_URL, Failure::Returns, Effect::None, "", L"winhttp.dll"),
            ZORVA_ROW(ShellExecuteExW, FALSE, ERROR_FILE_NOT_FOUND, Failure::Returns, Effect::MakesProcess, "handle", L"shell32.dll"),
            ZORVA_ROW(CloseHandle, FALSE, ERROR_INVALID_HANDLE, Failure::Releases, Effect::ReleasesHandle, "handle"),
            ZORVA_ROW(WNetUseConnectionW, ERROR_BAD_NET_NAME, 0, Failure::Returns, Effect::None, "", L"mpr.dll"),
            ZORVA_ROW(malloc, 0, 0, Failure::Heap, Effect::MakesBlock, "heap block"),
            ZORVA_ROW(calloc, 0, 0, Failure::Heap, Effect::MakesBlock, "heap block"),
            ZORVA_ROW(realloc, 0, 0, Failure::Heap, Effect::Reallocates, "heap block"),
            ZORVA_ROW(free, 0, 0, Failure::Never, Effect::ReleasesBlock, "heap block"),
            ZORVA_ROW(LoadLibraryA, 0, ERROR_MOD_NOT_FOUND, Failure::Returns, Effect::None),
        };
        // Not recorded itself: it only hands the delay-load helper its hooks.
        table.push_back(Row{"GetProcAddress", reinterpret_cast<void*>(&DelayLoadLookup),
                            &Slots<Tag_GetProcAddress>::real, &Slots<Tag_GetProcAddress>::replacement,
                            &Slots<Tag_GetProcAddress>::row, 0, 0, Failure::Never, Effect::None, "", nullptr});
        for (size_t index = 0; index < table.size(); ++index) {
            *table[index].index = index;
        }
        return table;
    }();
    return rows;
}

#undef ZORVA_ROW

const Row* FindRow(const char* name)
{
    for (const Row& row : Rows()) {
        if (std::strcmp(row.name, name) == 0) {
            return &row;
        }
    }
    return nullptr;
}

FARPROC WINAPI DelayLoadLookup(HMODULE module, LPCSTR name)
{
    const auto real = reinterpret_cast<decltype(&GetProcAddress)>(Slots<Tag_GetProcAddress>::real);
    const FARPROC found = real(module, name);
    const Row* row = IS_INTRESOURCE(name) ? nullptr : FindRow(name);
    if (found == nullptr || row == nullptr || row->hook == reinterpret_cast<void*>(&DelayLoadLookup)) {
        return found;
    }
    if (*row->real == nullptr) {
        *row->real = reinterpret_cast<void*>(found);
    }
    return reinterpret_cast<FARPROC>(row->hook);
}

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

void Patch(PlatformRecorder::State& state, HMODULE module, const std::set<std::string>& only)
{
    const std::lock_guard<SlimLock> held(state.lock);
    const auto patch = [&](const Row& row, void** slot) {
        if ((!only.empty() && only.count(row.name) == 0) || *slot == row.hook) {
            return;
        }
        if (*row.real == nullptr) {
            *row.real = *slot;
        }
        state.patched.emplace_back(slot, *slot);
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

}  // namespace

PlatformRecorder::PlatformRecorder(HMODULE module, const std::vector<std::string>& functions)
    : state_(std::make_unique<State>())
{
    PlatformRecorder::State* expected = nullptr;
    if (!g_active.compare_exchange_strong(expected, state_.get())) {
        throw std::logic_error("another PlatformRecorder is active");
    }
    Patch(*state_, module, std::set<std::string>(functions.begin(), functions.end()));
}

PlatformRecorder::~PlatformRecorder()
{
    g_active.store(nullptr);
    const std::lock_guard<SlimLock> held(state_->lock);
    for (auto it = state_->patched.rbegin(); it != state_->patched.rend(); ++it) {
        WriteSlot(it->first, it->second);
    }
    for (const Row& row : Rows()) {
        *row.replacement = nullptr;
    }
}

void PlatformRecorder::Attach(HMODULE module, const std::vector<std::string>& functions)
{
    Patch(*state_, module, std::set<std::string>(functions.begin(), functions.end()));
}

void PlatformRecorder::Restart()
{
    const std::lock_guard<SlimLock> held(state_->lock);
    state_->calls.clear();
    state_->outstanding.clear();
    state_->ids.clear();
    state_->failAt = 0;
    state_->failingKind.clear();
}

std::vector<PlatformCall> PlatformRecorder::Calls() const
{
    const std::lock_guard<SlimLock> held(state_->lock);
    return state_->calls;
}

std::vector<std::string> PlatformRecorder::Texts(const std::vector<std::string>& functions) const
{
    std::vector<std::string> texts;
    for (const PlatformCall& call : Calls()) {
        if (std::find(functions.begin(), functions.end(), call.function) == functions.end()) {
            continue;
        }
        std::string text = call.Text();
        for (size_t mark = text.find('#'); mark != std::string::npos; mark = text.find('#', mark + 1)) {
            size_t digits = mark + 1;
            while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
                ++digits;
            }
            text.erase(mark + 1, digits - mark - 1);
        }
        texts.push_back(text);
    }
    return texts;
}

size_t PlatformRecorder::Count(const std::string& function) const
{
    return Texts({function}).size();
}

void PlatformRecorder::FailAt(size_t k, Failing mode)
{
    const std::lock_guard<SlimLock> held(state_->lock);
    state_->failAt = state_->calls.size() + k;
    state_->mode = mode;
    state_->failingKind.clear();
}

bool PlatformRecorder::CanFail(const PlatformCall& call)
{
    const Row* row = FindRow(call.function.c_str());
    return row != nullptr && row->kind != Failure::Never;
}

bool PlatformRecorder::IsAllocation(const PlatformCall& call)
{
    const Row* row = FindRow(call.function.c_str());
    return row != nullptr && row->kind == Failure::Heap;
}

void PlatformRecorder::Replace(const char* function, const void* replacement)
{
    const Row* row = FindRow(function);
    if (row == nullptr) {
        throw std::invalid_argument(std::string("not a recorded function: ") + function);
    }
    *row->replacement = replacement;
}

const void* PlatformRecorder::RealAddress(const char* function) const
{
    const Row* row = FindRow(function);
    return row != nullptr ? *row->real : nullptr;
}

std::vector<std::string> PlatformRecorder::Outstanding() const
{
    const std::lock_guard<SlimLock> held(state_->lock);
    std::vector<std::string> left;
    for (const auto& [what, by] : state_->outstanding) {
        left.push_back(what.first + " made by " + by);
    }
    return left;
}

ULONG HandlesHeld()
{
    struct Entry {
        USHORT process;
        USHORT creator;
        UCHAR type;
        UCHAR flags;
        USHORT handle;
        PVOID object;
        ULONG access;
    };
    constexpr auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
    std::vector<char> buffer(1 << 20);
    ULONG size = 0;
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &size)) ==
           static_cast<NTSTATUS>(0xC0000004)) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        throw std::runtime_error("NtQuerySystemInformation failed");
    }
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
    ULONG mine = 0;
    for (ULONG i = 0; i < count; ++i) {
        mine += entries[i].process == static_cast<USHORT>(GetCurrentProcessId()) ? 1 : 0;
    }
    return mine;
}

}  // namespace zorva_test
