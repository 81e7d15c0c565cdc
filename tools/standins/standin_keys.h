#pragma once

// Where the stand-ins and the tests meet: keys of the test prefix's registry. The stand-ins
// run in other processes (rundll32, the shell's launches), so the registry is the one
// channel that every process of the prefix shares.

#include <windows.h>

namespace zorva_standin {

inline constexpr wchar_t kRootKey[] = L"Software\\ZorvaTest";  // below HKLM

// The UPnP device finder.
//   Devices\<UDN> = description URL (REG_SZ); UDNs are matched case-sensitively.
//   Fail = "FindByUDN" | "NotFound" | "NoDocumentAccess" | "NoUrl" (REG_SZ, absent: none)
//   Created (DWORD): finder objects made by the class factory.
//   FindCalls (DWORD), LastUdn (REG_SZ, the exact BSTR asked for, all its units).
//   LiveObjects (DWORD): the objects alive in the process that used the finder last.
inline constexpr wchar_t kFinderKey[] = L"Software\\ZorvaTest\\UpnpFinder";
inline constexpr wchar_t kFinderDevicesKey[] = L"Software\\ZorvaTest\\UpnpFinder\\Devices";
inline constexpr wchar_t kFinderFail[] = L"Fail";
inline constexpr wchar_t kFinderCreated[] = L"Created";
inline constexpr wchar_t kFinderFindCalls[] = L"FindCalls";
inline constexpr wchar_t kFinderLastUdn[] = L"LastUdn";
inline constexpr wchar_t kFinderLiveObjects[] = L"LiveObjects";

inline constexpr wchar_t kFailFindByUdn[] = L"FindByUDN";
inline constexpr wchar_t kFailNotFound[] = L"NotFound";
inline constexpr wchar_t kFailNoDocumentAccess[] = L"NoDocumentAccess";
inline constexpr wchar_t kFailNoUrl[] = L"NoUrl";

// The finder's COM registration (below HKLM). ThreadingModel Both: Wine has no proxy for
// these interfaces, so an apartment-only class could not reach a multithreaded caller.
inline constexpr wchar_t kFinderClsidKey[] =
    L"Software\\Classes\\CLSID\\{E2085F28-FEB7-404A-B8E7-E659BDEAAA02}";
inline constexpr wchar_t kFinderInprocKey[] =
    L"Software\\Classes\\CLSID\\{E2085F28-FEB7-404A-B8E7-E659BDEAAA02}\\InprocServer32";
inline constexpr wchar_t kFinderDllName[] = L"zorva_test_upnpfinder.dll";
inline constexpr wchar_t kFinderDllPath[] = L"C:\\windows\\system32\\zorva_test_upnpfinder.dll";
// The finder DLL's export that reports its live objects in the calling process.
inline constexpr char kFinderLiveObjectsExport[] = "StandinLiveObjects";

// The network provider behind mpr.
//   Answer (DWORD): what NPAddConnection3 returns (absent: WN_SUCCESS).
//   Calls\NNNN: one key per request, numbered from 0001 in order, with
//     Function (REG_SZ), RemoteName / LocalName / Provider (REG_SZ, absent when null),
//     Type, Flags, OwnerWindow (DWORD, 1 when not null), and UserName / Password
//     (REG_SZ, present only when the caller passed one).
//   Shares: one REG_SZ value per share that the provider can really connect, named by the
//     share's remote name, holding the folder (a Windows path) behind it. When it answers
//     WN_SUCCESS for such a share, it maps a drive letter onto that folder (the local name
//     given, or with an empty or null one the last free letter from Z: down) and records
//     it as Drive ("Y:") in the request's record.
//   Drives: the letters it mapped ("Y:" = remote name), which NPCancelConnection unmaps.
inline constexpr wchar_t kProviderKey[] = L"Software\\ZorvaTest\\NetProvider";
inline constexpr wchar_t kProviderCallsKey[] = L"Software\\ZorvaTest\\NetProvider\\Calls";
inline constexpr wchar_t kProviderAnswer[] = L"Answer";
inline constexpr wchar_t kProviderSharesKey[] = L"Software\\ZorvaTest\\NetProvider\\Shares";
inline constexpr wchar_t kProviderDrivesKey[] = L"Software\\ZorvaTest\\NetProvider\\Drives";
inline constexpr wchar_t kProviderDrive[] = L"Drive";

// The launch recorder (registered for http URLs and for folders).
//   NNNN: one key per launch with CommandLine, Argument (REG_SZ), ArgumentCount and
//   ShowWindow (DWORD, 0xFFFFFFFF when STARTF_USESHOWWINDOW was not set).
inline constexpr wchar_t kRecorderKey[] = L"Software\\ZorvaTest\\Recorder";
// Released once per recorded launch, for a test that launches from its own process.
inline constexpr wchar_t kRecorderSemaphore[] = L"ZorvaTestRecorderLaunch";
inline constexpr DWORD kNoShowWindow = 0xFFFFFFFF;

// Numbered record keys: "0001", "0002", ...
inline constexpr int kMaxRecords = 9999;

}  // namespace zorva_standin
