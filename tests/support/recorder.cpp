// The recorder's table of functions, one row each from the library's table of platform
// calls, and the hooks that record them.

#include "common/failure_form.h"
#include "support/recorder_printing.h"

#include <objbase.h>
#include <oleauto.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <tuple>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace zorva_test::recording {
namespace {

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

// Decides, for the call just counted, whether it fails.
bool Injects(State& state, const Row& row)
{
    const std::string kind = row.kind == Failure::Heap ? std::string("heap") : std::string(row.name);
    if (row.kind == Failure::Never) {
        return false;
    }
    if (!state.failingKind.empty()) {
        return state.failingKind == kind;
    }
    if (state.failAt != state.calls.size()) {
        return false;
    }
    if (state.mode == Failing::FromThenOn) {
        state.failingKind = kind;
    }
    return true;
}

template <auto Function, typename R, typename... A>
struct Hook {
    using Result = std::conditional_t<std::is_void_v<R>, int, R>;

    static R WINAPI Call(A... args)
    {
        const Slot& slot = g_slot<Function>;
        const Row& row = Rows()[slot.row];
        // The slot keeps addresses as const void*, from which clang (unlike GCC) casts to a
        // function pointer only through void*.
        const auto real =
            reinterpret_cast<R (*)(A...)>(const_cast<void*>(slot.replacement != nullptr ? slot.replacement : slot.real));
        State* state = g_active.load();
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

    static size_t Begin(State& state, const Row& row, A... args)
    {
        const InsideRecorder inside;
        const std::lock_guard<SlimLock> held(state.lock);
        Out in{state, {}};
        const auto tuple = std::forward_as_tuple(args...);
        if constexpr (&g_slot<Function> == &g_slot<&::SysAllocStringLen>) {
            // The text need not be terminated: only its counted units.
            in.Add(Quoted(std::get<0>(tuple), std::get<0>(tuple) != nullptr ? std::get<1>(tuple) : 0));
            In(in, std::get<1>(tuple));
        } else if constexpr (&g_slot<Function> == &g_slot<&::RegSetKeyValueW>) {
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

    static void Finish(State& state, const Row& row, size_t index, Result result, A... args)
    {
        const InsideRecorder inside;
        const std::lock_guard<SlimLock> held(state.lock);
        PlatformCall& call = state.calls[index];
        Out out{state, call.arguments};
        if constexpr (&g_slot<Function> == &g_slot<&::RegEnumKeyExW>) {
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

        const void* first = nullptr;
        ((first = first != nullptr ? first : Pointer(args)), ...);
        bool succeeded = false;
        if constexpr (std::is_pointer_v<Result>) {
            succeeded = result != nullptr;
        } else {
            succeeded = row.effect == Effect::EntersCom ? SUCCEEDED(result) : result == 0;
        }
        std::vector<const void*> carried;
        if ((row.effect == Effect::MakesKey && succeeded) || row.effect == Effect::MakesProcess) {
            carried = {Carried(args)...};
        }
        Account(state, row, call.function, succeeded, first, carried, Pointer(result));
    }
};

using zorva::Form;

// A row from the table's columns: failing a release still releases, failing an allocation from
// then on fails every allocation. The signature is deduced: as a template argument, malloc's
// type would carry attributes that the compiler drops with a warning.
template <auto Function, typename R, typename... A>
Row MakeRow(R (*)(A...), const char* name, Form form, std::intptr_t error, Effect effect, const char* resource,
            const wchar_t* delayLoadedFrom)
{
    const Failure kind = form == Form::Never                                                   ? Failure::Never
                         : effect == Effect::ReleasesKey || effect == Effect::ReleasesHandle ? Failure::Releases
                         : effect == Effect::MakesBlock || effect == Effect::Reallocates     ? Failure::Heap
                                                                                             : Failure::Returns;
    const std::intptr_t failure = form == Form::Status || form == Form::Hresult ? error
                                  : form == Form::InvalidHandle                 ? -1
                                                                                : 0;
    const DWORD lastError = form == Form::False || form == Form::InvalidHandle ? static_cast<DWORD>(error) : 0;
    return Row{name, reinterpret_cast<void*>(&Hook<Function, R, A...>::Call), &g_slot<Function>, failure, lastError,
               kind, effect, resource, delayLoadedFrom};
}

}  // namespace

// Every row's form against its function's return type. The runtime's own imports
// (ZORVA_RUNTIME_IMPORT) cannot fail and are not recorded.
#define ZORVA_CALL(dll, function, form, error, effect, resource) ZORVA_CHECK_FAILURE_FORM(::function, form, Imported);
#define ZORVA_DELAYED_CALL(dll, function, form, error, effect, resource) \
    ZORVA_CHECK_FAILURE_FORM(::function, form, DelayLoaded);
#include "common/platform_calls.inc"

#define ZORVA_WIDE(text) L##text
#define ZORVA_CALL(dll, function, form, error, effect, resource) \
    MakeRow<&::function>(&::function, #function, Form::form, error, Effect::effect, resource, nullptr),
#define ZORVA_DELAYED_CALL(dll, function, form, error, effect, resource)                      \
    MakeRow<&::function>(&::function, #function, Form::form, error, Effect::effect, resource, \
                         ZORVA_WIDE(#dll) L".dll"),

const std::vector<Row>& Rows()
{
    static const std::vector<Row> rows = [] {
        std::vector<Row> table = {
#include "common/platform_calls.inc"
        };
        // Not recorded itself: it only hands the delay-load helper its hooks.
        table.push_back(Row{"GetProcAddress", reinterpret_cast<void*>(&DelayLoadLookup), &g_slot<&::GetProcAddress>,
                            0, 0, Failure::Never, Effect::None, "", nullptr});
        for (size_t index = 0; index < table.size(); ++index) {
            table[index].slot->row = index;
        }
        return table;
    }();
    return rows;
}

const Row* FindRow(const char* name)
{
    const auto& rows = Rows();
    const auto row =
        std::find_if(rows.begin(), rows.end(), [name](const Row& r) { return std::strcmp(r.name, name) == 0; });
    return row != rows.end() ? &*row : nullptr;
}

}  // namespace zorva_test::recording

namespace zorva_test {

using namespace recording;

PlatformRecorder::PlatformRecorder(HMODULE module, const std::vector<std::string>& functions)
    : state_(std::make_unique<State>())
{
    State* expected = nullptr;
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
        row.slot->replacement = nullptr;
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
    static const std::regex number("#[0-9]+");
    std::vector<std::string> texts;
    for (const PlatformCall& call : Calls()) {
        if (std::find(functions.begin(), functions.end(), call.function) == functions.end()) {
            continue;
        }
        texts.push_back(std::regex_replace(call.Text(), number, "#"));
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

void PlatformRecorder::ReplaceAt(Slot& slot, const void* replacement)
{
    if (std::none_of(Rows().begin(), Rows().end(), [&slot](const Row& row) { return row.slot == &slot; })) {
        throw std::invalid_argument("not a recorded function");
    }
    slot.replacement = replacement;
}

std::vector<std::string> PlatformRecorder::Patched() const
{
    const std::lock_guard<SlimLock> held(state_->lock);
    return {state_->patchedFunctions.begin(), state_->patchedFunctions.end()};
}

}  // namespace zorva_test
