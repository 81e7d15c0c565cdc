#include "common/hresult.h"
#include "common/wide_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zorva::WideString;

std::wstring Text(const WideString& value)
{
    return std::wstring(value.c_str(), static_cast<size_t>(value.Length()));
}

TEST(WideString, FormatTreatsPercentSAsWideText)
{
    WideString path;
    ASSERT_EQ(path.Format(L"%s\\%s\\%s\\%s", L"Root", L"shell", L"Öffnen", L"command"), S_OK);
    EXPECT_EQ(Text(path), L"Root\\shell\\Öffnen\\command");
}

TEST(WideString, FormatReplacesTheWholeContent)
{
    WideString path;
    ASSERT_EQ(path.Format(L"%s\\%s", L"a much longer first text", L"tail"), S_OK);
    ASSERT_EQ(path.Format(L"%s\\%s", L"x", L"y"), S_OK);
    EXPECT_EQ(Text(path), L"x\\y");
}

TEST(WideString, AssignCopiesExactlyTheGivenLength)
{
    WideString text;
    ASSERT_EQ(text.Assign(L"Mount public share and more", 18), S_OK);
    EXPECT_EQ(Text(text), L"Mount public share");
    EXPECT_EQ(text.c_str()[18], L'\0');
}

TEST(WideString, InvalidArgumentsFailAndKeepTheContent)
{
    WideString text;
    ASSERT_EQ(text.Assign(L"kept"), S_OK);
    EXPECT_EQ(text.Assign(nullptr, 1), E_INVALIDARG);
    EXPECT_EQ(text.Assign(L"abc", -1), E_INVALIDARG);
    EXPECT_EQ(text.Assign(nullptr), E_INVALIDARG);
    EXPECT_EQ(Text(text), L"kept");
    EXPECT_EQ(text.Assign(nullptr, 0), S_OK);
    EXPECT_EQ(Text(text), L"");
}

TEST(WideString, ComparisonFoldsAsciiLettersOnly)
{
    WideString tag;
    ASSERT_EQ(tag.Assign(L"zh-tw"), S_OK);
    EXPECT_TRUE(tag.EqualsIgnoringAsciiCase(L"ZH-TW"));
    EXPECT_FALSE(tag.EqualsIgnoringAsciiCase(L"ZH-TW "));
    EXPECT_FALSE(tag.EqualsIgnoringAsciiCase(L"ZH-T"));

    WideString accented;
    ASSERT_EQ(accented.Assign(L"é"), S_OK);
    EXPECT_FALSE(accented.EqualsIgnoringAsciiCase(L"É"));
}

TEST(HResultFromWin32, MapsPositiveCodesAndKeepsZeroAndFailures)
{
    EXPECT_EQ(zorva::HResultFromWin32(ERROR_ACCESS_DENIED), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(zorva::HResultFromWin32(0x12345), static_cast<HRESULT>(0x80072345));
    EXPECT_EQ(zorva::HResultFromWin32(0), S_OK);
    EXPECT_EQ(zorva::HResultFromWin32(0x80004005), E_FAIL);
}

}  // namespace
