#include "common/unique_resource.h"
#include "support/recorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// What the compiler calls when a canary is found broken.
extern "C" [[noreturn]] void __stack_chk_fail() noexcept;

namespace {

// Stands in for TerminateProcess: ends the calling thread only, with the status asked for,
// so that the test outlives the end it watches.
BOOL WINAPI EndThreadOnly(HANDLE, UINT status)
{
    ExitThread(status);
}

TEST(StackProtector, BrokenCanaryWithoutFastFailEndsTheProcessWithTheOverrunStatus)
{
    zorva_test::PlatformRecorder recorder(GetModuleHandleW(nullptr), {"IsProcessorFeaturePresent", "TerminateProcess"});
    recorder.Replace<&::TerminateProcess>(&EndThreadOnly);
    // The first call, IsProcessorFeaturePresent, answers FALSE: a system without fast-fail.
    recorder.FailAt(1, zorva_test::Failing::Once);
    const zorva::UniqueHandle thread(CreateThread(
        nullptr, 0, [](void*) -> DWORD { __stack_chk_fail(); }, nullptr, 0, nullptr));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    DWORD status = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &status));
    EXPECT_EQ(status, STATUS_STACK_BUFFER_OVERRUN);
    const std::vector<std::string> calls = recorder.Texts({"IsProcessorFeaturePresent", "TerminateProcess"});
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "IsProcessorFeaturePresent(0x17) = 0");
    EXPECT_EQ(calls[1].rfind("TerminateProcess(#, 0xc0000409)", 0), 0u) << calls[1];
}

}  // namespace
