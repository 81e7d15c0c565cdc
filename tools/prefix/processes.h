#pragma once

// Starting Windows programs from a test exactly the way the shell does: with the exact
// command line (wine64's own launcher would re-quote it), and waiting until the program and
// every process it started have ended, so that what they recorded is complete.

#include <windows.h>

#include <functional>
#include <string>

namespace zorva_test {

// Runs `commandLine` (CreateProcessW with no application name) and waits until it and all
// its descendants have exited. Returns the program's exit code. Throws std::runtime_error
// when the program cannot be started or the processes do not end within a minute.
DWORD RunAndWait(const std::wstring& commandLine);

// What a program printed, and its exit code.
struct CapturedRun {
    DWORD exitCode = 0;
    std::string output;
};

// Where a captured program's standard error goes: into the same output as its standard
// output, or to this process's standard error.
enum class StandardError { Captured, Passed };

// Runs `commandLine` with its standard output in a pipe, reads it to the end and waits
// until the program has exited. Throws std::runtime_error when it cannot be started.
CapturedRun RunAndCapture(const std::wstring& commandLine, StandardError standardError);

// Runs `work` on a thread of its own and waits for it. A thread that has not finished
// within `milliseconds` is a hang: the process reports `what` and ends with exit code 4,
// so that a hang fails the suite instead of stalling it; a thread that ends before `work`
// returns (a stack overflow, say) ends it with exit code 5.
void RunWithDeadline(const std::function<void()>& work, DWORD milliseconds, const std::string& what);

}  // namespace zorva_test
