// The recorder's account of what calls made and did not give back.

#include "support/recorder_internal.h"

#include <winternl.h>

#include <mutex>
#include <stdexcept>

namespace zorva_test::recording {

void Account(State& state, const Row& row, const std::string& by, bool succeeded, const void* first,
             const std::vector<const void*>& carried, const void* result)
{
    // COM is entered and left by the thread, not by an object.
    const auto thread = reinterpret_cast<const void*>(static_cast<uintptr_t>(GetCurrentThreadId()));
    switch (row.effect) {
    case Effect::MakesKey:
    case Effect::MakesProcess:
        for (const void* made : carried) {
            state.Make(row.resource, made, by);
        }
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
        state.Make(row.resource, result, by);
        break;
    case Effect::MakesSet:
        if (result != INVALID_HANDLE_VALUE) {
            state.Make(row.resource, result, by);
        }
        break;
    case Effect::EntersCom:
        if (succeeded) {
            state.Make(row.resource, thread, by);
        }
        break;
    case Effect::LeavesCom:
        state.Release(row.resource, thread);
        break;
    case Effect::None:
        break;
    }
}

}  // namespace zorva_test::recording

namespace zorva_test {

std::vector<std::string> PlatformRecorder::Outstanding() const
{
    const std::lock_guard<recording::SlimLock> held(state_->lock);
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
