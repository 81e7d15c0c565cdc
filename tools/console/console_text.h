#pragma once

// Text output of the console programs that drive the library: the device installer, the
// demo's driver and the benchmark. Wine gives a program started from a terminal a console,
// and one started by make, CTest or another program usually a pipe: a console takes the
// UTF-16 text as it is, a pipe or file gets UTF-8, so that verb captions in any of the
// seventeen languages reach the terminal intact.

#include <windows.h>

#include <string>

namespace zorva_tools {

inline void WriteText(DWORD standardHandle, const std::wstring& text)
{
    const HANDLE out = GetStdHandle(standardHandle);
    const DWORD units = static_cast<DWORD>(text.size());
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), units, &written, nullptr);
        return;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return;
    }
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(units), &utf8[0], bytes, nullptr, nullptr);
    WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

// One line on standard output.
inline void Say(const std::wstring& line)
{
    WriteText(STD_OUTPUT_HANDLE, line + L"\n");
}

// One line on standard error.
inline void Complain(const std::wstring& line)
{
    WriteText(STD_ERROR_HANDLE, line + L"\n");
}

// "error 5: Access denied." for a Win32 error; SetupAPI's own codes (0xE000....) have no
// message text under Wine and are shown in hex.
inline std::wstring DescribeError(DWORD error)
{
    wchar_t number[32];
    if ((error & 0xE0000000) == 0xE0000000) {
        swprintf(number, 32, L"error 0x%08lX", static_cast<unsigned long>(error));
    } else {
        swprintf(number, 32, L"error %lu", static_cast<unsigned long>(error));
    }
    wchar_t message[512] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        message, 512, nullptr);
    std::wstring text = number;
    if (length > 0) {
        std::wstring trimmed(message, length);
        while (!trimmed.empty() && (trimmed.back() == L'\n' || trimmed.back() == L'\r' || trimmed.back() == L' ')) {
            trimmed.pop_back();
        }
        text += L": " + trimmed;
    }
    return text;
}

// Ends the process with exit code 3 when it crashes: under Wine a crashing process sometimes
// exits 0, which would read as success. The installer runs the co-installer in its own
// process, so this also catches a crashing co-installer.
inline LONG WINAPI TerminateOnCrash(EXCEPTION_POINTERS* info)
{
    wchar_t line[96];
    swprintf(line, 96, L"crashed: unhandled exception 0x%08lX",
             static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    Complain(line);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

// The first call of a console tool: a crash ends it through TerminateOnCrash, and no error
// dialog waits for a click that never comes.
inline void HandleCrashes()
{
    SetUnhandledExceptionFilter(TerminateOnCrash);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

}  // namespace zorva_tools
