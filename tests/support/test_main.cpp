#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// Under Wine a crashing process sometimes exits 0 (the debugger hook races the exit), so
// every test program ends itself with a code CTest cannot mistake for success.
LONG WINAPI TerminateOnUnhandledException(EXCEPTION_POINTERS* info)
{
    std::fprintf(stderr, "Unhandled exception 0x%08lx\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

int main(int argc, char** argv)
{
    SetUnhandledExceptionFilter(TerminateOnUnhandledException);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
