#pragma once

// What the co-installer must leave below HKEY_CLASSES_ROOT\NetworkExplorerPlugins, written
// out independently of the product's own constants so that a wrong constant there fails.

#include "support/registry.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace zorva_test {

// Paths relative to HKEY_CLASSES_ROOT.
inline const std::wstring kPlugInsPath = L"NetworkExplorerPlugins";
inline const std::wstring kHardwareIdentityPath = kPlugInsPath + L"\\VEN_0F3D&DEV_0042&REV_01";
inline const std::wstring kDeviceTypePath =
    kPlugInsPath + L"\\urn:zorva-example:device:NetworkAttachedStorage:KT2HX";

struct Caption {
    const wchar_t* text;
    size_t length;  // UTF-16 code units

    std::wstring str() const { return std::wstring(text, length); }
};

struct CaptionRow {
    const wchar_t* tag;
    Caption open;
    Caption mount;
    Caption download;
};

// One row per locale tag. Every character is a single precomposed UTF-16 code unit.
inline constexpr CaptionRow kCaptionRows[] = {
    {L"EN-US", {L"Open", 4}, {L"Mount public share", 18}, {L"Download Software", 17}},
    {L"FR-FR", {L"Ouvrir", 6}, {L"Monte le partage public", 23}, {L"Télécharger le logiciel", 23}},
    {L"CS-CZ", {L"Otevřít", 7}, {L"Připojit složku pro veřejné sdílení", 35}, {L"Stáhnout Software", 17}},
    {L"DE-DE", {L"Öffnen", 6}, {L"Öffentliche Freigabe einfügen", 29}, {L"Software downloaden", 19}},
    {L"ES-ES", {L"Abrir", 5}, {L"Montar recursos compartidos", 27}, {L"Descargar Software", 18}},
    {L"HU-HU", {L"Megnyitás", 9}, {L"Nyilvános megosztás csatlakoztatása", 35}, {L"Szoftver Letöltés", 17}},
    {L"IT-IT", {L"Apri", 4}, {L"Monta condivisione pubblica", 27}, {L"Scaricare software", 18}},
    {L"JA-JP", {L"開く", 2}, {L"\u300Cpublic\u300D共有をマウントします", 18}, {L"ソフトウェアのダウンロード", 13}},
    {L"KO-KR", {L"열기", 2}, {L"공용 공유 마운트", 9}, {L"소프트웨어 다운로드", 10}},
    {L"NB-NO", {L"Åpne", 4}, {L"Koble til den offentlige delingsmappen", 38}, {L"Last ned programvare", 20}},
    {L"NL-NL", {L"Openen", 6}, {L"Openbare share laden", 20}, {L"Software downloaden", 19}},
    {L"PL-PL", {L"Otwórz", 6}, {L"Podłącz udział publiczny", 24}, {L"Pobierz oprogramowanie", 22}},
    {L"PT-BR", {L"Abrir", 5}, {L"Montar compartilhamento público", 31}, {L"Software para download", 22}},
    {L"RU-RU", {L"Открыть", 7}, {L"Подключить общую папку", 22}, {L"Скачать программное обеспечение", 31}},
    {L"SV-SE", {L"Öppna", 5}, {L"Montera delad resurs", 20}, {L"Hämta programvare", 17}},
    {L"TR-TR", {L"Aç", 2}, {L"Genel paylaşım oluştur", 22}, {L"Yazilim indir", 13}},
    {L"ZH-CN", {L"打开", 2}, {L"加载公用共享", 6}, {L"下载软件", 4}},
    {L"ZH-TW", {L"開啟", 2}, {L"掛接公用共用", 6}, {L"下載軟體", 4}},
};

// A caption typed with a decomposed accent, or a stray blank, would change its length.
constexpr bool CaptionLengthsAsListed()
{
    for (const CaptionRow& row : kCaptionRows) {
        for (const Caption& caption : {row.open, row.mount, row.download}) {
            if (std::char_traits<wchar_t>::length(caption.text) != caption.length) {
                return false;
            }
        }
    }
    return true;
}
static_assert(CaptionLengthsAsListed(), "a caption's text does not have its listed length");

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
        {L"DefaultIcon", {{L"", StringValue(L"%SystemRoot%\\System32\\ZORVA_KT2HX_2_2_0.dll,-102")}}},
        {L"shell", {}},
        {L"shell\\Open Media Player", {{L"MUIVerb", StringValue(L"@%SystemRoot%\\System32\\wmploc.dll,-29301")}}},
        {L"shell\\Open Media Player\\command",
         {{L"", StringValue(L"C:\\Program Files\\Windows Media Player\\wmplayer.exe")}}},
    };
}

// Relative to kDeviceTypePath: the verb keys are named by the captions of one row.
inline RegTree ExpectedDeviceTypeTree(const CaptionRow& row)
{
    const std::wstring open = row.open.str();
    const std::wstring mount = row.mount.str();
    const std::wstring download = row.download.str();
    return RegTree{
        {L"", {}},
        {L"DefaultIcon", {{L"", StringValue(L"%SystemRoot%\\System32\\ZORVA_KT2HX_2_2_0.dll,-101")}}},
        {L"shell", {{L"", StringValue(open)}}},
        {L"shell\\" + open, {}},
        {L"shell\\" + open + L"\\command",
         {{L"", StringValue(L"rundll32.exe ZORVA_KT2HX_2_2_0.dll,ShellCommandOpen %1")}}},
        {L"shell\\" + mount, {}},
        {L"shell\\" + mount + L"\\command",
         {{L"", StringValue(L"rundll32.exe ZORVA_KT2HX_2_2_0.dll,ShellCommandMount %1")}}},
        {L"shell\\" + download, {}},
        {L"shell\\" + download + L"\\command",
         {{L"", StringValue(L"rundll32.exe ZORVA_KT2HX_2_2_0.dll,ShellCommandInstall %1")}}},
    };
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
