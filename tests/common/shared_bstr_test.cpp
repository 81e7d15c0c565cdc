#include "common/shared_bstr.h"
#include "support/recorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zorva::SharedBstr;

std::wstring Text(const SharedBstr& value)
{
    return std::wstring(value.get(), value.Length());
}

SharedBstr FromAnsi(const char* ansi)
{
    SharedBstr value;
    EXPECT_EQ(value.AssignAnsi(ansi), S_OK);
    return value;
}

TEST(SharedBstr, AnsiTextIsConvertedThroughTheAnsiCodePage)
{
    // The suite runs with code page 1252, where 0xE9 is U+00E9.
    ASSERT_EQ(GetACP(), 1252u);
    const SharedBstr udn = FromAnsi("uuid:caf\xe9 ");
    EXPECT_EQ(Text(udn), L"uuid:caf\u00e9 ");
    EXPECT_EQ(udn.Length(), 10u);
}

TEST(SharedBstr, NullAnsiTextHoldsNoString)
{
    const SharedBstr none = FromAnsi(nullptr);
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_EQ(none.Length(), 0u);
}

TEST(SharedBstr, CopiesShareOneStringUntilOneIsAssigned)
{
    SharedBstr first = FromAnsi("abc");
    SharedBstr second = first;
    EXPECT_EQ(first.get(), second.get());

    ASSERT_EQ(second.Assign(L"xyz"), S_OK);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(Text(first), L"abc");
    EXPECT_EQ(Text(second), L"xyz");
}

TEST(SharedBstr, AssigningTheHeldStringKeepsIt)
{
    SharedBstr value = FromAnsi("abc");
    const BSTR held = value.get();
    ASSERT_EQ(value.Assign(held), S_OK);
    EXPECT_EQ(value.get(), held);
    EXPECT_EQ(Text(value), L"abc");
}

TEST(SharedBstr, ConcatenationMakesANewString)
{
    const SharedBstr host = FromAnsi("192.168.1.20");
    SharedBstr root;
    ASSERT_EQ(SharedBstr::Concatenate(L"\\\\", host, root), S_OK);
    EXPECT_EQ(Text(root), L"\\\\192.168.1.20");
    EXPECT_EQ(Text(host), L"192.168.1.20");
    ASSERT_EQ(SharedBstr::Concatenate(L"\\\\", SharedBstr(), root), S_OK);
    EXPECT_EQ(Text(root), L"\\\\");
}

// The BSTR is freed when the last copy goes, and only then, exactly once: with the BSTR
// functions of this program recorded, the allocation and the release pair up.
TEST(SharedBstr, TheLastCopyFreesTheStringOnce)
{
    zorva_test::PlatformRecorder recorder(GetModuleHandleW(nullptr),
                                          {"SysAllocString", "SysAllocStringLen", "SysFreeString"});
    {
        SharedBstr survivor;
        {
            SharedBstr original = FromAnsi("kept");
            survivor = original;
            const SharedBstr copy = original;
        }
        EXPECT_EQ(Text(survivor), L"kept");
        EXPECT_EQ(recorder.Count("SysFreeString"), 0u);
    }
    EXPECT_EQ(testing::PrintToString(recorder.Texts({"SysAllocString", "SysFreeString"})),
              testing::PrintToString(std::vector<std::string>{"SysAllocString(\"kept\") = #", "SysFreeString(#) = void"}));
    EXPECT_EQ(testing::PrintToString(recorder.Outstanding()), "{}");
}

}  // namespace
