#include "prefix/processes.h"

#include "common/unique_resource.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace zorva_test {
namespace {

constexpr DWORD kHangGuardMilliseconds = 60000;

[[noreturn]] void Fail(const std::string& what, DWORD error)
{
    throw std::runtime_error(what + " failed: " + std::to_string(error));
}

// Wine's CreateProcessW fails now and then (about 1 in 500) with ERROR_INTERNAL_ERROR; a
// second attempt succeeds. The standard handles in `startup`, if it names them, are
// inherited.
bool Start(const std::wstring& commandLine, const STARTUPINFOW& startup, DWORD flags, PROCESS_INFORMATION& process)
{
    const BOOL inherit = (startup.dwFlags & STARTF_USESTDHANDLES) != 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::wstring writable = commandLine;  // CreateProcessW may write into it
        STARTUPINFOW copy = startup;
        if (CreateProcessW(nullptr, &writable[0], nullptr, nullptr, inherit, flags, nullptr, nullptr, &copy,
                           &process)) {
            return true;
        }
        if (GetLastError() != ERROR_INTERNAL_ERROR) {
            break;
        }
    }
    return false;
}

}  // namespace

DWORD RunAndWait(const std::wstring& commandLine)
{
    // Wine starts its desktop process (explorer.exe /desktop) from the first process that
    // needs the desktop. Started from inside the job, it would keep the job alive for as
    // long as it runs; connecting this process to the desktop first starts it outside.
    GetDesktopWindow();

    // Every process the program starts (the shell's launches included) joins its job; the
    // job's port reports when the last of them has ended.
    const zorva::UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        Fail("CreateJobObjectW", GetLastError());
    }
    const zorva::UniqueHandle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!port) {
        Fail("CreateIoCompletionPort", GetLastError());
    }
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
    association.CompletionKey = job.get();
    association.CompletionPort = port.get();
    if (!SetInformationJobObject(job.get(), JobObjectAssociateCompletionPortInformation, &association,
                                 sizeof(association))) {
        Fail("SetInformationJobObject", GetLastError());
    }
    // Whatever is left when the job is closed (after a hang) is ended with it.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));

    PROCESS_INFORMATION process = {};
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (!Start(commandLine, startup, CREATE_SUSPENDED, process)) {
        Fail("CreateProcessW", GetLastError());
    }
    const zorva::UniqueHandle processHandle(process.hProcess);
    const zorva::UniqueHandle threadHandle(process.hThread);
    if (!AssignProcessToJobObject(job.get(), process.hProcess)) {
        const DWORD error = GetLastError();
        TerminateProcess(process.hProcess, 1);
        Fail("AssignProcessToJobObject", error);
    }
    ResumeThread(process.hThread);

    for (;;) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED detail = nullptr;
        if (!GetQueuedCompletionStatus(port.get(), &message, &key, &detail, kHangGuardMilliseconds)) {
            throw std::runtime_error("the processes of this command line did not all end");
        }
        if (key == reinterpret_cast<ULONG_PTR>(job.get()) && message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
            break;
        }
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    return exitCode;
}

CapturedRun RunAndCapture(const std::wstring& commandLine, StandardError standardError)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    zorva::UniqueHandle readEnd;
    zorva::UniqueHandle writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0)) {
        Fail("CreatePipe", GetLastError());
    }
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = standardError == StandardError::Captured ? writeEnd.get() : GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!Start(commandLine, startup, 0, process)) {
        Fail("CreateProcessW", GetLastError());
    }
    const zorva::UniqueHandle processHandle(process.hProcess);
    const zorva::UniqueHandle threadHandle(process.hThread);
    // Only the child holds the write end now: reading ends when it has exited.
    writeEnd.reset();

    CapturedRun run;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(readEnd.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        run.output.append(buffer, read);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    return run;
}

void RunWithDeadline(const std::function<void()>& work, DWORD milliseconds, const std::string& what)
{
    // Wine ends a thread that overflows its stack without a word, and with exit code 0.
    bool returned = false;
    const std::function<void()> tracked = [&] { work(), returned = true; };
    const auto run = [](void* parameter) -> DWORD {
        (*static_cast<const std::function<void()>*>(parameter))();
        return 0;
    };
    const zorva::UniqueHandle thread(
        CreateThread(nullptr, 0, run, const_cast<std::function<void()>*>(&tracked), 0, nullptr));
    if (!thread) {
        Fail("CreateThread", GetLastError());
    }
    if (WaitForSingleObject(thread.get(), milliseconds) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "HANG: %s did not finish within %lu ms\n", what.c_str(),
                     static_cast<unsigned long>(milliseconds));
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 4);
    }
    if (!returned) {
        std::fprintf(stderr, "CRASH: %s ended its thread without returning\n", what.c_str());
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 5);
    }
}

}  // namespace zorva_test
