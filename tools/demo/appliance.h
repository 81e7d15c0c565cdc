#pragma once

// The simulated appliance of the demo and of the end-to-end test. The test stand-ins play
// the network around it: the UPnP device finder knows its UDN and answers with a
// description URL on the loopback address, and the network provider, asked for its Public
// share, maps a drive letter onto a real folder that holds a few files.

#include <string>
#include <vector>

namespace zorva_demo {

// What the appliance announces about itself on the network.
inline constexpr wchar_t kUdn[] = L"uuid:0f3d0042-0001-4b7a-9e62-5a0e7c1e2d4b";
inline constexpr wchar_t kDeviceType[] = L"urn:zorva-example:device:NetworkAttachedStorage:KT2HX";
inline constexpr wchar_t kHardwareId[] = L"VEN_0F3D&DEV_0042&REV_01";
inline constexpr wchar_t kDescriptionUrl[] = L"http://127.0.0.1:5000/description.xml";

// Where the verbs should lead for this appliance.
inline constexpr wchar_t kNetworkRoot[] = L"\\\\127.0.0.1";
inline constexpr wchar_t kPublicShare[] = L"\\\\127.0.0.1\\Public";
inline constexpr wchar_t kDownloadPage[] = L"http://download.zorva.example/?mod=download&device=zrv";

// The folder behind the Public share, in the prefix's drive C:.
inline constexpr wchar_t kShareFolder[] = L"C:\\ZorvaKT2HX\\Public";

// What the Network folder puts in place of %1 when it runs one of the appliance's verbs.
// The library relies only on the UDN standing at its end.
inline constexpr wchar_t kDeviceArgument[] = L"uuid:0f3d0042-0001-4b7a-9e62-5a0e7c1e2d4b";

// The names of the files in the Public share, sorted.
std::vector<std::wstring> ShareFileNames();

// Sets the stand-ins back to a clean state and teaches them the appliance: the finder its
// UDN, the shell its network root, the network provider its Public share, whose folder is
// made afresh with its files.
void SetUpAppliance();

// The names of the entries in a folder (such as a drive's root), sorted; "." and ".."
// left out. Throws std::runtime_error when the folder cannot be listed.
std::vector<std::wstring> ListFolder(const std::wstring& folder);

}  // namespace zorva_demo
