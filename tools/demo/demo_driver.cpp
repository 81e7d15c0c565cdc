// zorva-demo: the demo's view of the Windows Network folder. Each command shows one part of
// the appliance's life in the prefix and checks it; the exit code is 1 when what it found is
// not what the driver package and the library should have produced.
//
//   zorva-demo appliance         set up the simulated appliance (stand-ins, share folder)
//   zorva-demo trees <TAG>       show both plug-in trees; they must be exactly as written
//                                in the UI language with locale tag TAG (such as JA-JP)
//   zorva-demo verbs             run every verb from its registered command line
//   zorva-demo no-trees          both plug-in trees must be gone

#include "console/console_text.h"
#include "demo/appliance.h"
#include "demo/network_folder.h"
#include "shellverbs/verbs.h"
#include "prefix/plugin_trees.h"
#include "prefix/registry.h"
#include "prefix/standins_control.h"

#include <windows.h>

#include <winnetwk.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using zorva_tools::Say;

// Checks collect their failures here; the exit code reports whether there was any.
bool g_allGood = true;

void Good(const std::wstring& line)
{
    Say(L"  ok: " + line);
}

void Bad(const std::wstring& line)
{
    Say(L"  NOT OK: " + line);
    g_allGood = false;
}

std::wstring Join(const std::vector<std::wstring>& items, const wchar_t* separator)
{
    std::wstring text;
    for (const std::wstring& item : items) {
        text += (text.empty() ? L"" : separator) + item;
    }
    return text;
}

std::wstring TextOf(const zorva_test::RegValue& value)
{
    std::wstring text = zorva_test::CodeUnits(value);
    if (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

// One line per value ("shell\Open\command = "..."", a named value in brackets), and one
// for each key that holds neither values nor subkeys.
std::vector<std::wstring> TreeLines(const zorva_test::RegTree& tree)
{
    std::vector<std::wstring> lines;
    for (const auto& [path, values] : tree) {
        const std::wstring shown = path.empty() ? L"(key)" : path;
        for (const auto& [name, value] : values) {
            std::wstring line = shown + (name.empty() ? L"" : L" [" + name + L"]") + L" = ";
            if (value.type != REG_SZ) {
                line += L"(type " + std::to_wstring(value.type) + L") ";
            }
            lines.push_back(line + L"\"" + TextOf(value) + L"\"");
        }
        const bool hasChildren = std::any_of(tree.begin(), tree.end(), [&path = path](const auto& other) {
            return other.first.rfind(path + L"\\", 0) == 0;
        });
        if (values.empty() && !hasChildren && !path.empty()) {
            lines.push_back(shown + L" (empty key)");
        }
    }
    return lines;
}

// Shows the tree below HKCR\<path> and compares it with what it should be.
void ShowTree(const std::wstring& path, const zorva_test::RegTree& expected)
{
    const zorva_test::RegTree found = zorva_test::SnapshotTree(HKEY_CLASSES_ROOT, path);
    Say(L"HKEY_CLASSES_ROOT\\" + path);
    if (found.empty()) {
        Bad(L"the key does not exist");
        return;
    }
    for (const std::wstring& line : TreeLines(found)) {
        Say(L"  " + line);
    }
    if (found == expected) {
        Good(L"exactly as the co-installer should write it");
        return;
    }
    const std::vector<std::wstring> want = TreeLines(expected);
    const std::vector<std::wstring> have = TreeLines(found);
    for (const std::wstring& line : want) {
        if (std::find(have.begin(), have.end(), line) == have.end()) {
            Bad(L"missing: " + line);
        }
    }
    for (const std::wstring& line : have) {
        if (std::find(want.begin(), want.end(), line) == want.end()) {
            Bad(L"unexpected: " + line);
        }
    }
}

void Trees(const std::wstring& tag)
{
    const zorva_test::CaptionRow& row = zorva_test::CaptionRowFor(tag);
    ShowTree(zorva_test::kHardwareIdentityPath, zorva_test::ExpectedHardwareIdentityTree());
    ShowTree(zorva_test::kDeviceTypePath, zorva_test::ExpectedDeviceTypeTree(row));

    const std::wstring defaultCaption = zorva_demo::DefaultVerbCaption(zorva_demo::kDeviceType);
    std::vector<std::wstring> captions;
    for (const zorva_demo::Verb& verb : zorva_demo::RegisteredVerbs(zorva_demo::kDeviceType)) {
        captions.push_back(verb.caption + (verb.caption == defaultCaption ? L" (default)" : L""));
    }
    Say(L"The appliance's menu in the Network folder (" + tag + L"): " + Join(captions, L" | "));
}

void NoTrees()
{
    for (const std::wstring& path : {zorva_test::kHardwareIdentityPath, zorva_test::kDeviceTypePath}) {
        if (zorva_test::KeyExists(HKEY_CLASSES_ROOT, path)) {
            Bad(L"HKEY_CLASSES_ROOT\\" + path + L" is still there");
        } else {
            Good(L"HKEY_CLASSES_ROOT\\" + path + L" is gone");
        }
    }
}

void Appliance()
{
    zorva_demo::SetUpAppliance();
    Say(std::wstring(L"UDN ") + zorva_demo::kUdn);
    Say(std::wstring(L"Device type ") + zorva_demo::kDeviceType);
    Say(std::wstring(L"The UPnP device finder answers for it with ") + zorva_demo::kDescriptionUrl);
    Say(std::wstring(L"Its share ") + zorva_demo::kPublicShare + L" is the folder " + zorva_demo::kShareFolder);
    Say(L"  holding " + Join(zorva_demo::ShareFileNames(), L", "));
}

// Shows the command line that the Network folder runs for the verb.
const zorva_demo::Verb& Announce(const zorva_demo::Verb& verb)
{
    Say(L"\"" + verb.caption + L"\" runs: " + zorva_demo::CommandLineFor(verb, zorva_demo::kDeviceArgument));
    return verb;
}

void OpenVerb(const zorva_demo::Verb& verb)
{
    const size_t before = zorva_test::ReadLaunches().size();
    zorva_demo::RunVerb(Announce(verb), zorva_demo::kDeviceArgument);
    const std::vector<zorva_test::Launch> launches = zorva_test::ReadLaunches();
    if (launches.size() != before + 1) {
        Bad(L"the shell should have opened one folder, it opened " + std::to_wstring(launches.size() - before));
        return;
    }
    const std::wstring& opened = launches.back().argument;
    Say(L"  the shell opened " + opened + L" in the file browser");
    if (opened == zorva_demo::kNetworkRoot) {
        Good(L"the appliance's network root");
    } else {
        Bad(std::wstring(L"expected ") + zorva_demo::kNetworkRoot);
    }
}

void MountVerb(const zorva_demo::Verb& verb)
{
    const size_t before = zorva_test::ReadConnectionRequests().size();
    zorva_demo::RunVerb(Announce(verb), zorva_demo::kDeviceArgument);
    const std::vector<zorva_test::ConnectionRequest> requests = zorva_test::ReadConnectionRequests();
    if (requests.size() != before + 1) {
        Bad(L"the network should have been asked for one connection, it was asked for " +
            std::to_wstring(requests.size() - before));
        return;
    }
    const zorva_test::ConnectionRequest& request = requests.back();
    const std::wstring remote = request.remoteName.value_or(L"(none)");
    Say(L"  the network was asked to connect " + remote);
    if (remote != zorva_demo::kPublicShare) {
        Bad(std::wstring(L"expected the share ") + zorva_demo::kPublicShare);
        return;
    }
    if (!request.drive) {
        Bad(L"the share landed on no drive");
        return;
    }
    const std::vector<std::wstring> files = zorva_demo::ListFolder(*request.drive + L"\\");
    Say(L"  it landed on " + *request.drive + L", which lists: " + Join(files, L", "));
    if (files == zorva_demo::ShareFileNames()) {
        Good(L"the Public share, with its files");
    } else {
        Bad(L"expected the files of the Public share");
    }
}

void DownloadVerb(const zorva_demo::Verb& verb)
{
    const size_t before = zorva_test::ReadLaunches().size();
    zorva_demo::RunVerb(Announce(verb), zorva_demo::kDeviceArgument);
    const std::vector<zorva_test::Launch> launches = zorva_test::ReadLaunches();
    if (launches.size() != before + 1) {
        Bad(L"the browser should have been started once, it was started " + std::to_wstring(launches.size() - before) +
            L" times");
        return;
    }
    Say(L"  the browser got " + launches.back().argument);
    if (launches.back().argument == zorva_demo::kDownloadPage) {
        Good(L"the maker's download page");
    } else {
        Bad(std::wstring(L"expected ") + zorva_demo::kDownloadPage);
    }
}

// Every verb of the library's list, in its order, from the command line registered for it.
void Verbs()
{
    const std::vector<zorva_demo::Verb> registered = zorva_demo::RegisteredVerbs(zorva_demo::kDeviceType);
    for (const zorva::VerbName& name : zorva::kVerbNames) {
        const zorva_demo::Verb verb = zorva_demo::VerbRunning(registered, name.wideEntryPoint);
        switch (name.verb) {
        case zorva::Verb::Open:
            OpenVerb(verb);
            break;
        case zorva::Verb::Mount:
            MountVerb(verb);
            break;
        case zorva::Verb::Download:
            DownloadVerb(verb);
            break;
        }
    }
}

int Usage()
{
    zorva_tools::Complain(L"usage: zorva-demo appliance | trees <TAG> | verbs | no-trees");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    zorva_tools::HandleCrashes();
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    try {
        if (args.size() == 1 && args[0] == L"appliance") {
            Appliance();
        } else if (args.size() == 2 && args[0] == L"trees") {
            Trees(args[1]);
        } else if (args.size() == 1 && args[0] == L"verbs") {
            Verbs();
        } else if (args.size() == 1 && args[0] == L"no-trees") {
            NoTrees();
        } else {
            return Usage();
        }
    } catch (const std::exception& failure) {
        const std::string what = failure.what();
        zorva_tools::Complain(L"zorva-demo: " + std::wstring(what.begin(), what.end()));
        return 1;
    }
    return g_allGood ? 0 : 1;
}
