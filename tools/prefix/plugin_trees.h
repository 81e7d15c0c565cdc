#pragma once

// What the co-installer must leave below HKEY_CLASSES_ROOT\NetworkExplorerPlugins, written
// out independently of the product's own constants so that a wrong constant there fails.
// The verb captions alone come from the product's language list, held to a few known rows.

#include "shellverbs/verbs.h"
#include "prefix/registry.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace zorva_test {

// Paths relative to HKEY_CLASSES_ROOT.
inline const std::wstring kPlugInsPath = L"NetworkExplorerPlugins";
inline const std::wstring kHardwareIdentityPath = kPlugInsPath + L"\\VEN_0F3D&DEV_0042&REV_01";
inline const std::wstring kDeviceTypePath =
    kPlugInsPath + L"\\urn:zorva-example:device:NetworkAttachedStorage:KT2HX";

// The name the registry data give the installed library: the design's, restated on purpose
// as the oracle of the icon references and the verbs' command lines.
inline const std::wstring kInstalledDllOracle = L"ZORVA_KT2HX_2_2_0.dll";
inline const std::wstring kHardwareIdentityIcon = L"%SystemRoot%\\System32\\" + kInstalledDllOracle + L",-102";
inline const std::wstring kDeviceTypeIcon = L"%SystemRoot%\\System32\\" + kInstalledDllOracle + L",-101";

// The caption rows, read from the product's language list: the registration must write the
// captions of the row the system language selects.
struct CaptionRow {
    const wchar_t* tag;
    const char* testLocale;
    const wchar_t* captions[zorva::kVerbCount];

    std::wstring Caption(zorva::Verb verb) const { return captions[zorva::IndexOf(verb)]; }
};
inline constexpr CaptionRow kCaptionRows[] = {
#define ZORVA_LANGUAGE(tag, codes, countries, testLocale, ...) {tag, testLocale, {__VA_ARGS__}},
#include "localization/languages.inc"
};

// These few, as the appliance's translators gave them, must be in the list as they are here.
inline constexpr CaptionRow kKnownCaptions[] = {
    {L"EN-US", "", {L"Open", L"Mount public share", L"Download Software"}},
    {L"DE-DE", "", {L"Öffnen", L"Öffentliche Freigabe einfügen", L"Software downloaden"}},
    {L"JA-JP", "", {L"開く", L"\u300Cpublic\u300D共有をマウントします", L"ソフトウェアのダウンロード"}},
    {L"NB-NO", "", {L"Åpne", L"Koble til den offentlige delingsmappen", L"Last ned programvare"}},
    {L"ZH-CN", "", {L"打开", L"加载公用共享", L"下载软件"}},
    {L"ZH-TW", "", {L"開啟", L"掛接公用共用", L"下載軟體"}},
};

constexpr bool SameText(const wchar_t* a, const wchar_t* b)
{
    const size_t length = std::char_traits<wchar_t>::length(a);
    return length == std::char_traits<wchar_t>::length(b) && std::char_traits<wchar_t>::compare(a, b, length) == 0;
}

constexpr bool KnownCaptionsListed()
{
    for (const CaptionRow& known : kKnownCaptions) {
        bool found = false;
        for (const CaptionRow& row : kCaptionRows) {
            bool same = SameText(row.tag, known.tag);
            for (size_t verb = 0; verb < zorva::kVerbCount; ++verb) {
                same = same && SameText(row.captions[verb], known.captions[verb]);
            }
            found = found || same;
        }
        if (!found) {
            return false;
        }
    }
    return true;
}
static_assert(KnownCaptionsListed(), "localization/languages.inc lacks a row of kKnownCaptions as written there");

inline const CaptionRow& CaptionRowFor(std::wstring_view tag)
{
    for (const CaptionRow& row : kCaptionRows) {
        if (tag == row.tag) {
            return row;
        }
    }
    throw std::invalid_argument("no caption row for this tag");
}

// Relative to kHardwareIdentityPath. The same in every UI language.
inline RegTree ExpectedHardwareIdentityTree()
{
    return RegTree{
        {L"", {}},
        {L"DefaultIcon", {{L"", StringValue(kHardwareIdentityIcon)}}},
        {L"shell", {}},
        {L"shell\\Open Media Player", {{L"MUIVerb", StringValue(L"@%SystemRoot%\\System32\\wmploc.dll,-29301")}}},
        {L"shell\\Open Media Player\\command",
         {{L"", StringValue(L"C:\\Program Files\\Windows Media Player\\wmplayer.exe")}}},
    };
}

// The verbs' keys below the device type's shell key, in the order they are written, each
// with the entry point its command line runs. The first is the default verb.
struct ExpectedVerb {
    zorva::Verb verb;
    const wchar_t* entryPoint;

    std::wstring Command() const { return L"rundll32.exe " + kInstalledDllOracle + L"," + entryPoint + L" %1"; }
};
inline constexpr ExpectedVerb kExpectedVerbs[] = {
    {zorva::Verb::Open, L"ShellCommandOpen"},
    {zorva::Verb::Mount, L"ShellCommandMount"},
    {zorva::Verb::Download, L"ShellCommandInstall"},
};

// Relative to kDeviceTypePath: the verb keys are named by the captions of one row.
inline RegTree ExpectedDeviceTypeTree(const CaptionRow& row)
{
    RegTree tree{
        {L"", {}},
        {L"DefaultIcon", {{L"", StringValue(kDeviceTypeIcon)}}},
        {L"shell", {{L"", StringValue(row.Caption(kExpectedVerbs[0].verb))}}},
    };
    for (const ExpectedVerb& verb : kExpectedVerbs) {
        const std::wstring key = L"shell\\" + row.Caption(verb.verb);
        tree[key];
        tree[key + L"\\command"] = {{L"", StringValue(verb.Command())}};
    }
    return tree;
}

// What HKCR holds below `path`, as text to compare with an expected tree's.
inline std::string DescribeKey(const std::wstring& path)
{
    return DescribeTree(SnapshotTree(HKEY_CLASSES_ROOT, path));
}

// Both plug-in trees as HKCR holds them, and as the co-installer registers them with the
// captions of `tag`, as text.
inline std::string DescribePlugInTrees()
{
    return DescribeKey(kHardwareIdentityPath) + "\n" + DescribeKey(kDeviceTypePath);
}

inline std::string DescribeRegisteredTrees(std::wstring_view tag)
{
    return DescribeTree(ExpectedHardwareIdentityTree()) + "\n" + DescribeTree(ExpectedDeviceTypeTree(CaptionRowFor(tag)));
}

}  // namespace zorva_test
