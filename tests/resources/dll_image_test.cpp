#include "console/owners.h"

#include "support/delay_imports.h"
#include "support/files.h"
#include "support/recorder.h"
#include "prefix/zorva_dll.h"

#include <windows.h>

#include <imagehlp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

class DllImage : public testing::Test {
protected:
    void SetUp() override
    {
        // As an image resource: mapped like a module (RVAs resolve), but nothing runs.
        module_.reset(LoadLibraryExW(zorva_test::kInstalledDllName, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_NE(module_.get(), nullptr) << GetLastError();
        base_ = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(module_.get()) & ~ULONG_PTR{3});
    }

    const IMAGE_NT_HEADERS64* Headers() const
    {
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base_);
        return reinterpret_cast<const IMAGE_NT_HEADERS64*>(base_ + dos->e_lfanew);
    }
    const IMAGE_DATA_DIRECTORY& Directory(int index) const
    {
        return Headers()->OptionalHeader.DataDirectory[index];
    }
    template <typename T>
    const T* At(DWORD rva) const
    {
        return reinterpret_cast<const T*>(base_ + rva);
    }
    // Each function imported plainly (not delay-loaded), with its DLL as the image names it.
    std::vector<std::pair<std::string, std::string>> PlainImports() const
    {
        std::vector<std::pair<std::string, std::string>> imports;
        for (const auto* entry = At<IMAGE_IMPORT_DESCRIPTOR>(Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);
             entry->Name != 0; ++entry) {
            for (const auto* thunk = At<IMAGE_THUNK_DATA64>(entry->OriginalFirstThunk); thunk->u1.AddressOfData != 0;
                 ++thunk) {
                imports.emplace_back(At<char>(entry->Name),
                                     At<IMAGE_IMPORT_BY_NAME>(static_cast<DWORD>(thunk->u1.AddressOfData))->Name);
            }
        }
        return imports;
    }

    zorva::UniqueModule module_;
    const BYTE* base_ = nullptr;
};

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// What the image holds that depends on the architecture this test is built for, which is
// the library's: its machine, its module name (the design's, restated here on purpose as
// the oracle of the export directory and the version record), and the fast-fail sequence (the failure code into the
// register the kernel reads it from, then the interrupt or break reserved for fast-fail).
// lld writes no time into the export directory; GNU ld writes the source date there too.
#if defined(__aarch64__)
constexpr WORD kMachine = IMAGE_FILE_MACHINE_ARM64;
constexpr char kModuleName[] = "ZORVA_KT2HX-arm64.dll";
constexpr bool kExportsDated = false;
// mov w0, #code; brk #0xF003
constexpr unsigned char kFastFail[] = {0x40, 0x00, 0x80, 0x52, 0x60, 0x00, 0x3E, 0xD4};
#else
constexpr WORD kMachine = IMAGE_FILE_MACHINE_AMD64;
constexpr char kModuleName[] = "ZORVA_KT2HX-x64.dll";
constexpr bool kExportsDated = true;
// mov ecx, code; int 29h
constexpr unsigned char kFastFail[] = {0xB9, FAST_FAIL_STACK_COOKIE_CHECK_FAILURE, 0, 0, 0, 0xCD, 0x29};
#endif

// Read from the file, not through the loader: Wine maps no image of another machine, even as a
// resource, so the fixture's set-up would fail before the machine could be named.
TEST(DllFile, IsA64BitDllForTheMachineOfThisBuild)
{
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH);
    const std::vector<BYTE> image =
        zorva_test::FileBytes(std::wstring(system, length) + L"\\" + zorva_test::kInstalledDllName);
    IMAGE_DOS_HEADER dos = {};
    ASSERT_GE(image.size(), sizeof(dos));
    std::memcpy(&dos, image.data(), sizeof(dos));
    IMAGE_NT_HEADERS64 headers = {};
    ASSERT_LE(static_cast<size_t>(dos.e_lfanew) + sizeof(headers), image.size());
    std::memcpy(&headers, image.data() + dos.e_lfanew, sizeof(headers));
    EXPECT_EQ(headers.Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(headers.FileHeader.Machine, kMachine);
    EXPECT_TRUE(headers.FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST_F(DllImage, ExportsTheCoInstallerAndEachVerbsEntryPointUnderItsModuleName)
{
    const auto& directory = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    ASSERT_NE(directory.VirtualAddress, 0u);
    const auto* exports = At<IMAGE_EXPORT_DIRECTORY>(directory.VirtualAddress);
    EXPECT_STREQ(At<char>(exports->Name), kModuleName);

    std::set<std::string> names;
    const auto* nameRvas = At<DWORD>(exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        names.insert(At<char>(nameRvas[i]));
    }
    // The co-installer's two, and the rundll32 entry point of each verb.
    std::set<std::string> expected = {"CoDeviceInstall", "RallyD"};
#define ZORVA_VERB(name, entryPoint, action) expected.insert(#entryPoint);
#include "shellverbs/verbs.inc"
    EXPECT_EQ(names, expected);
    EXPECT_EQ(exports->NumberOfFunctions, expected.size());
}

// Loading the DLL loads only what both halves need; the shell, COM, WinHTTP, the network
// router and SetupAPI are delay-loaded by the half that calls them.
TEST_F(DllImage, ImportsOnlyWhatBothHalvesNeed)
{
    const std::set<std::string> expected = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll"};
    ASSERT_NE(Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress, 0u);
    std::set<std::string> imported;
    for (const auto& [dll, function] : PlainImports()) {
        imported.insert(Lower(dll));
    }
    EXPECT_EQ(imported, expected);
}

// The table of platform calls, row by row: how each function is imported.
struct TableRow {
    const char* dll;
    const char* function;
    bool delayed;
    bool called;  // by the library's own code, not only by the runtime
};

constexpr TableRow kPlatformCalls[] = {
#define ZORVA_CALL(dll, function, ...) {#dll, #function, false, true},
#define ZORVA_DELAYED_CALL(dll, function, ...) {#dll, #function, true, true},
#define ZORVA_RUNTIME_IMPORT(dll, function) {#dll, #function, false, false},
#include "common/platform_calls.inc"
};

std::string ImportName(const std::string& dll, const std::string& function, bool delayed)
{
    return Lower(dll) + "!" + function + (delayed ? " (delay-loaded)" : "");
}

// The tests record, fail and account for the calls the table lists: a function imported
// without its row, or from another DLL or in another way than its row says, would escape
// them; a row of a call that nothing imports any more has gone stale. A delay-loaded row
// that names the wrong DLL builds, but its function would never be found; one from a DLL
// the library imports anyway only adds a way to fail.
TEST_F(DllImage, ImportsWhatItsTableOfPlatformCallsSaysAndNothingElse)
{
    std::set<std::string> unlisted;
    std::set<std::string> loadedAnyway;
    for (const auto& [dll, function] : PlainImports()) {
        unlisted.insert(ImportName(dll, function, false));
        loadedAnyway.insert(Lower(dll));
    }
    for (const auto& [function, import] : zorva_test::DelayImports(base_)) {
        unlisted.insert(ImportName(import.dll, function, true));
    }
    for (const TableRow& row : kPlatformCalls) {
        const std::string dll = std::string(row.dll) + ".dll";
        const std::string name = ImportName(dll, row.function, row.delayed);
        EXPECT_EQ(unlisted.erase(name), 1u) << name << ": in the table, but not so imported";
        const zorva::UniqueModule exporter(LoadLibraryA(dll.c_str()));
        EXPECT_NE(GetProcAddress(exporter.get(), row.function), nullptr) << name << ": not exported by its DLL";
        EXPECT_FALSE(row.delayed && loadedAnyway.count(dll) != 0) << name << ": its DLL is loaded anyway";
    }
    EXPECT_EQ(std::vector<std::string>(unlisted.begin(), unlisted.end()), std::vector<std::string>{})
        << "imported, but not so in the table";
}

// The recorder's rows come from the same table; each plainly imported call must reach a slot
// it rewrites, and the delay-loaded ones reach it through the helper's GetProcAddress.
TEST_F(DllImage, RecorderHooksEveryPlatformCallOfTheLoadedLibrary)
{
    const zorva_test::ZorvaDll dll;
    const zorva_test::PlatformRecorder recorder(dll.Module());
    const std::vector<std::string> patched = recorder.Patched();
    for (const TableRow& row : kPlatformCalls) {
        const std::string hooked = row.delayed ? "GetProcAddress" : row.function;
        EXPECT_TRUE(!row.called || std::count(patched.begin(), patched.end(), hooked) == 1) << row.function;
    }
}

// What a release image carries: address-space layout randomisation with a 64-bit base,
// data that is never executable.
TEST_F(DllImage, IsRelocatableAnywhereAndNeverRunsData)
{
    const WORD characteristics = Headers()->OptionalHeader.DllCharacteristics;
    for (const WORD flag : {WORD{IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE}, WORD{IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA},
                            WORD{IMAGE_DLLCHARACTERISTICS_NX_COMPAT}}) {
        EXPECT_EQ(characteristics & flag, flag) << std::hex << flag;
    }
}

// A broken stack canary ends the process through fast-fail (kFastFail), which the linker
// keeps only when compiled code checks a canary: a DLL built without the protector lacks
// it. And seeding the canary loads no cryptographic provider.
TEST_F(DllImage, EndsAtABrokenStackCanaryAndSeedsItWithoutCryptoApi)
{
    static_assert(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE == 2, "kFastFail's code");
    const auto* sections = IMAGE_FIRST_SECTION(Headers());
    bool found = false;
    for (WORD i = 0; i < Headers()->FileHeader.NumberOfSections && !found; ++i) {
        const auto* begin = At<unsigned char>(sections[i].VirtualAddress);
        const auto* end = begin + std::min(sections[i].Misc.VirtualSize, sections[i].SizeOfRawData);
        found = std::search(begin, end, std::begin(kFastFail), std::end(kFastFail)) != end;
    }
    EXPECT_TRUE(found);
    for (const auto& [dll, function] : PlainImports()) {
        EXPECT_NE(function.rfind("Crypt", 0), 0u) << function;
    }
}

// Two builds of one commit give the same bytes: the timestamps are the commit's time, not
// the clock's, and the checksum is the one the file's content gives.
TEST_F(DllImage, TimestampsAreTheSourceDateAndTheChecksumMatchesTheFile)
{
    const DWORD sourceDate = ZORVA_SOURCE_DATE_EPOCH;
    EXPECT_EQ(Headers()->FileHeader.TimeDateStamp, sourceDate);
    const auto* exports = At<IMAGE_EXPORT_DIRECTORY>(Directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
    EXPECT_EQ(exports->TimeDateStamp, kExportsDated ? sourceDate : 0u);

    wchar_t path[MAX_PATH];
    ASSERT_NE(GetSystemDirectoryW(path, MAX_PATH), 0u);
    const std::wstring file = std::wstring(path) + L"\\" + zorva_test::kInstalledDllName;
    DWORD stored = 0;
    DWORD computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(file.c_str(), &stored, &computed), CHECKSUM_SUCCESS);
    EXPECT_NE(stored, 0u);
    EXPECT_EQ(stored, computed);
}

// The icon group resource's directory entry: 14 bytes, packed on 2-byte boundaries.
#pragma pack(push, 2)
struct IconDirEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInRes;
    WORD id;
};
#pragma pack(pop)

class IconGroups : public DllImage, public testing::WithParamInterface<int> {};

TEST_P(IconGroups, HoldTheSevenImagesTheShellPicksFrom)
{
    HRSRC resource = FindResourceW(module_.get(), MAKEINTRESOURCEW(GetParam()), RT_GROUP_ICON);
    ASSERT_NE(resource, nullptr);
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module_.get(), resource)));
    const WORD count = *reinterpret_cast<const WORD*>(data + 4);
    const auto* entries = reinterpret_cast<const IconDirEntry*>(data + 6);

    std::vector<std::pair<int, int>> images;  // size and bits per pixel
    for (WORD i = 0; i < count; ++i) {
        EXPECT_EQ(entries[i].width, entries[i].height);
        images.push_back({entries[i].width == 0 ? 256 : entries[i].width, entries[i].bitCount});
        EXPECT_NE(FindResourceW(module_.get(), MAKEINTRESOURCEW(entries[i].id), RT_ICON), nullptr);
    }
    std::sort(images.begin(), images.end());
    const std::vector<std::pair<int, int>> expected = {{16, 8}, {16, 32}, {32, 8}, {32, 32}, {48, 8}, {48, 32}, {256, 32}};
    EXPECT_EQ(images, expected);
}

INSTANTIATE_TEST_SUITE_P(DeviceTypeAndHardwareIdentity, IconGroups, testing::Values(101, 102));

TEST_F(DllImage, IconGroupsHaveDifferentArtwork)
{
    auto firstImage = [this](int group) {
        HRSRC resource = FindResourceW(module_.get(), MAKEINTRESOURCEW(group), RT_GROUP_ICON);
        const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module_.get(), resource)));
        const WORD id = reinterpret_cast<const IconDirEntry*>(data + 6)->id;
        HRSRC image = FindResourceW(module_.get(), MAKEINTRESOURCEW(id), RT_ICON);
        const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module_.get(), image)));
        return std::vector<BYTE>(bytes, bytes + SizeofResource(module_.get(), image));
    };
    EXPECT_NE(firstImage(101), firstImage(102));
}

TEST_F(DllImage, VersionRecordNamesTheProductAndVersion)
{
    HRSRC resource = FindResourceW(module_.get(), MAKEINTRESOURCEW(1), RT_VERSION);
    ASSERT_NE(resource, nullptr);
    const void* block = LockResource(LoadResource(module_.get(), resource));
    // VerQueryValueW may patch the block; work on a copy.
    std::vector<BYTE> copy(static_cast<const BYTE*>(block),
                           static_cast<const BYTE*>(block) + SizeofResource(module_.get(), resource));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(copy.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(2, 2));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(7, 0));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(2, 2));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(7, 0));

    const std::wstring moduleName(kModuleName, kModuleName + std::strlen(kModuleName));
    const std::pair<const wchar_t*, std::wstring> strings[] = {
        // The design's names and version, restated on purpose as the oracle.
        {L"InternalName", L"ZORVA_KT2HX"},
        {L"ProductName", L"ZORVA_KT2HX"},
        {L"FileVersion", L"2.2.0.7"},
        {L"ProductVersion", L"2.2.0.7"},
        {L"OriginalFilename", moduleName},
    };
    for (const auto& [name, expected] : strings) {
        wchar_t* text = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        ASSERT_TRUE(VerQueryValueW(copy.data(), query.c_str(), reinterpret_cast<void**>(&text), &length)) << name;
        EXPECT_EQ(std::wstring(text), expected) << name;
    }
}

TEST_F(DllImage, ManifestRunsAsInvokerWithoutUiAccess)
{
    HRSRC resource = FindResourceW(module_.get(), MAKEINTRESOURCEW(2), RT_MANIFEST);
    ASSERT_NE(resource, nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(module_.get(), resource)));
    const std::string manifest(text, SizeofResource(module_.get(), resource));
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
}

}  // namespace
