#include "demo/network_folder.h"

#include "common/unique_resource.h"
#include "prefix/processes.h"
#include "prefix/registry.h"

#include <windows.h>

#include <stdexcept>

namespace zorva_demo {
namespace {

std::wstring ShellKeyPath(const std::wstring& deviceType)
{
    return L"NetworkExplorerPlugins\\" + deviceType + L"\\shell";
}

// A key's default value; empty when it has none.
std::wstring DefaultValue(HKEY root, const std::wstring& path)
{
    DWORD size = 0;
    if (RegGetValueW(root, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return {};
    }
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(root, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, &text[0], &size) != ERROR_SUCCESS) {
        return {};
    }
    text.resize(size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::vector<Verb> RegisteredVerbs(const std::wstring& deviceType)
{
    std::vector<Verb> verbs;
    zorva::UniqueHkey shell;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, ShellKeyPath(deviceType).c_str(), 0, KEY_READ, shell.put()) !=
        ERROR_SUCCESS) {
        return verbs;
    }
    for (const std::wstring& caption : zorva_test::SubkeyNames(shell.get())) {
        verbs.push_back({caption, DefaultValue(shell.get(), caption + L"\\command")});
    }
    return verbs;
}

std::wstring DefaultVerbCaption(const std::wstring& deviceType)
{
    return DefaultValue(HKEY_CLASSES_ROOT, ShellKeyPath(deviceType));
}

Verb VerbRunning(const std::vector<Verb>& verbs, const std::wstring& entryPoint)
{
    for (const Verb& verb : verbs) {
        if (verb.command.find(L"," + entryPoint + L" ") != std::wstring::npos) {
            return verb;
        }
    }
    throw std::runtime_error("no registered verb runs " + std::string(entryPoint.begin(), entryPoint.end()));
}

std::wstring CommandLineFor(const Verb& verb, const std::wstring& deviceArgument)
{
    std::wstring line = verb.command;
    for (size_t at = line.find(L"%1"); at != std::wstring::npos; at = line.find(L"%1", at + deviceArgument.size())) {
        line.replace(at, 2, deviceArgument);
    }
    return line;
}

unsigned long RunVerb(const Verb& verb, const std::wstring& deviceArgument)
{
    return zorva_test::RunAndWait(CommandLineFor(verb, deviceArgument));
}

}  // namespace zorva_demo
