#pragma once

// The appliance's verbs the way the Windows Network folder finds and runs them: below
// HKEY_CLASSES_ROOT\NetworkExplorerPlugins\<the device type the appliance announces>\shell,
// one key per verb, named by its caption, whose command subkey holds the command line; the
// folder puts its argument for the selected device in place of %1 and runs that line.

#include <string>
#include <vector>

namespace zorva_demo {

struct Verb {
    std::wstring caption;
    std::wstring command;  // as registered, with %1
};

// The verbs registered for a device type, in the registry's order. Empty when the device
// type has no plug-in key; throws std::runtime_error when its verb keys cannot be listed.
std::vector<Verb> RegisteredVerbs(const std::wstring& deviceType);

// The caption of the device type's default verb (the shell key's default value); empty when
// none is set.
std::wstring DefaultVerbCaption(const std::wstring& deviceType);

// The verb whose command line calls `entryPoint` (such as "ShellCommandMount"). Throws
// std::runtime_error when no registered verb does.
Verb VerbRunning(const std::vector<Verb>& verbs, const std::wstring& entryPoint);

// The command line with %1 replaced by the device argument.
std::wstring CommandLineFor(const Verb& verb, const std::wstring& deviceArgument);

// Runs the verb for the device and waits until it and everything it started have ended.
// Returns the exit code of the verb's program.
unsigned long RunVerb(const Verb& verb, const std::wstring& deviceArgument);

}  // namespace zorva_demo
