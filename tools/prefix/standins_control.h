#pragma once

// Steers the stand-ins of tools/standins from a test program and reads back what they saw.
// The stand-ins may run in other processes (rundll32 and what the shell starts from it);
// everything goes through the prefix's registry, below HKLM\Software\ZorvaTest.

#include "common/unique_resource.h"

#include <windows.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zorva_test {

// Forgets every device, failure, counter and record, lets the provider answer WN_SUCCESS,
// and puts the finder's COM registration back in place.
void ResetStandins();

// --- The UPnP device finder -------------------------------------------------------------

// The finder answers FindByUDN for `udn` (matched exactly, case included) with a device
// whose description document is at `descriptionUrl`.
void AddDevice(const std::wstring& udn, const std::wstring& descriptionUrl);

// The step at which the finder fails, whatever the device table says.
enum class FinderFailure {
    None,
    FindByUdn,         // FindByUDN returns E_FAIL
    NotFound,          // FindByUDN returns S_FALSE and no device
    NoDocumentAccess,  // the device has no IUPnPDeviceDocumentAccess
    NoUrl,             // GetDocumentURL returns E_FAIL and no URL
};
void SetFinderFailure(FinderFailure failure);

struct FinderActivity {
    DWORD created = 0;    // finder objects made by the class factory
    DWORD findCalls = 0;  // FindByUDN calls
    std::optional<std::wstring> lastUdn;  // exactly what the last FindByUDN was given
    // The objects still alive, as the process that used the finder last left them: after a
    // rundll32 process has ended, a leaked reference still shows here.
    DWORD liveObjects = 0;
};
FinderActivity ReadFinderActivity();

// The finder objects alive in this process, read from the finder DLL itself; nullopt when
// this process has not loaded it. (The DLL pins itself, so COM cannot unload it between the
// lookup and this check.)
std::optional<LONG> FinderLiveObjectsHere();

// Removes the finder's CLSID registration for its lifetime: the finder is then missing as
// on a system without the UPnP service's class.
class FinderUnregistered {
public:
    FinderUnregistered();
    ~FinderUnregistered();
    FinderUnregistered(const FinderUnregistered&) = delete;
    FinderUnregistered& operator=(const FinderUnregistered&) = delete;
};

// --- The network provider ---------------------------------------------------------------

// What the provider's NPAddConnection3 returns (a WN_* code).
void SetProviderAnswer(DWORD answer);

// Backs the share `remoteName` with a folder (a Windows path): a successful request for it
// maps a drive letter onto that folder, which WNetCancelConnection2W on the letter unmaps.
void AddShare(const std::wstring& remoteName, const std::wstring& folder);

struct ConnectionRequest {
    std::wstring function;  // "NPAddConnection3" or "NPAddConnection"
    std::optional<std::wstring> remoteName;
    std::optional<std::wstring> localName;  // nullopt: the router passed a null pointer
    std::optional<std::wstring> provider;
    std::optional<std::wstring> userName;
    std::optional<std::wstring> password;
    DWORD type = 0;
    DWORD flags = 0;
    bool ownerWindow = false;
    std::optional<std::wstring> drive;  // "Y:", the letter mapped for a share with a folder
};
std::vector<ConnectionRequest> ReadConnectionRequests();

// --- The launch recorder ----------------------------------------------------------------

struct Launch {
    std::wstring commandLine;
    std::wstring argument;  // the target the shell put in place of %1
    DWORD argumentCount = 0;
    std::optional<WORD> showWindow;  // from STARTUPINFO; nullopt without STARTF_USESHOWWINDOW
};
std::vector<Launch> ReadLaunches();

// Counts the recorder's launches as they happen, for a test that launches from its own
// process (a rundll32 run is waited for as a whole instead).
class LaunchWaiter {
public:
    LaunchWaiter();

    // Waits for the next recorded launch; false if none comes within a minute (a hang
    // guard, not a measurement).
    bool WaitForLaunch();

private:
    zorva::UniqueHandle semaphore_;
};

// Wine's shell opens "\\host" only when $WINEPREFIX/dosdevices/unc/<host> exists as a
// folder; makes it (idempotent). A host with backslashes ("a\\b") makes the nested folders.
void MakeUncServer(const std::wstring& host);

// Readable failure messages.
std::ostream& operator<<(std::ostream& out, const ConnectionRequest& request);
std::ostream& operator<<(std::ostream& out, const Launch& launch);
std::string Narrow(const std::wstring& text);

}  // namespace zorva_test
