#include "common/hresult_error.h"
#include "common/wide_string.h"

#include <gtest/gtest.h>

namespace {

using zorva::HResultError;
using zorva::WideString;

HRESULT ThrownCode(void (*action)(WideString&))
{
    WideString text;
    try {
        action(text);
    } catch (const HResultError& error) {
        return error.Code();
    }
    return S_OK;
}

TEST(WideString, FormatTreatsPercentSAsWideText)
{
    WideString path;
    path.Format(L"%s\\%s\\%s\\%s", L"Root", L"shell", L"Öffnen", L"command");
    EXPECT_EQ(path.str(), L"Root\\shell\\Öffnen\\command");
}

TEST(WideString, FormatReplacesTheWholeContent)
{
    WideString path;
    path.Format(L"%s\\%s", L"a much longer first text", L"tail");
    path.Format(L"%s\\%s", L"x", L"y");
    EXPECT_EQ(path.str(), L"x\\y");
}

TEST(WideString, AssignCopiesExactlyTheGivenLength)
{
    WideString text;
    text.Assign(L"Mount public share and more", 18);
    EXPECT_EQ(text.str(), L"Mount public share");
    EXPECT_EQ(text.str().size(), 18u);
}

TEST(WideString, InvalidArgumentsThrowInvalidArg)
{
    EXPECT_EQ(ThrownCode([](WideString& s) { s.Assign(nullptr, 1); }), E_INVALIDARG);
    EXPECT_EQ(ThrownCode([](WideString& s) { s.Assign(L"abc", -1); }), E_INVALIDARG);
    EXPECT_EQ(ThrownCode([](WideString& s) { s.Format(nullptr); }), E_INVALIDARG);
    EXPECT_EQ(ThrownCode([](WideString& s) { s.Assign(nullptr, 0); }), S_OK);
}

TEST(WideString, ComparisonFoldsAsciiLettersOnly)
{
    WideString tag;
    tag.Assign(L"zh-tw");
    EXPECT_TRUE(tag.EqualsIgnoringAsciiCase(L"ZH-TW"));
    EXPECT_FALSE(tag.EqualsIgnoringAsciiCase(L"ZH-TW "));
    EXPECT_FALSE(tag.EqualsIgnoringAsciiCase(L"ZH-T"));

    WideString accented;
    accented.Assign(L"é");
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
