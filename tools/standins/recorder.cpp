// Stand-in for the programs the shell starts: registered in the test prefix for http URLs
// and for folders, it records how it was started and exits. It is a GUI-subsystem program
// so that no console is created for it.

#include "common/unique_resource.h"
#include "standins/standin_keys.h"
#include "standins/standin_registry.h"

#include <windows.h>

#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    using namespace zorva_standin;
    const wchar_t* commandLine = GetCommandLineW();
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);

    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(commandLine, &count);
    {
        zorva::UniqueHkey record = CreateNextRecord(kRecorderKey);
        if (record) {
            SetString(record.get(), L"CommandLine", commandLine);
            SetString(record.get(), L"Argument", arguments != nullptr && count > 1 ? arguments[1] : L"");
            SetDword(record.get(), L"ArgumentCount", static_cast<DWORD>(count > 0 ? count - 1 : 0));
            SetDword(record.get(), L"ShowWindow",
                     (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : kNoShowWindow);
        }
    }
    LocalFree(arguments);

    const zorva::UniqueHandle launched(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, kRecorderSemaphore));
    if (launched) {
        ReleaseSemaphore(launched.get(), 1, nullptr);
    }
    return 0;
}
