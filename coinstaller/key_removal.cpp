#include "coinstaller/key_removal.h"

#include "common/unique_resource.h"

#include <winternl.h>

#include <cwchar>

// ntdll's own delete: it deletes the key behind a handle. RegDeleteKeyW opens the path
// again, and would follow a link there to delete its target instead.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace zorva {
namespace {

// Registry key names are at most 255 characters, so every child name fits with room.
constexpr DWORD kNameCapacity = MAX_PATH;

bool IsSeparator(wchar_t c) noexcept { return c == L'\\'; }

// True when the path names the root key itself: empty, or nothing but separators.
bool NamesRoot(const wchar_t* path) noexcept
{
    for (; *path != L'\0'; ++path) {
        if (!IsSeparator(*path)) {
            return false;
        }
    }
    return true;
}

// A child name that a NUL-terminated path can address: the native API also allows empty
// names and names with a NUL, and a path built from those would name the parent itself or
// another child. A separator would make it the path of a grandchild.
bool IsAddressable(const wchar_t* name, DWORD length) noexcept
{
    if (length == 0) {
        return false;
    }
    for (DWORD i = 0; i < length; ++i) {
        if (name[i] == L'\0' || IsSeparator(name[i])) {
            return false;
        }
    }
    return true;
}

// Opens root\path itself, a link as the link. DELETE access lets the key be deleted through
// this handle; a key that refuses DELETE is still opened for reading, so that its subkeys go;
// a key that refuses reading is opened for DELETE alone: it goes if it has no subkeys.
[[nodiscard]] LSTATUS OpenKeyItself(HKEY root, const wchar_t* path, UniqueHkey& key) noexcept
{
    constexpr REGSAM kAccesses[] = {KEY_READ | DELETE, KEY_READ, DELETE};
    for (const REGSAM access : kAccesses) {
        const LSTATUS status = RegOpenKeyExW(root, path, REG_OPTION_OPEN_LINK, access, key.put());
        if (status != ERROR_ACCESS_DENIED) {
            return status;
        }
    }
    return ERROR_ACCESS_DENIED;
}

[[nodiscard]] bool DeleteOpenKey(HKEY key) noexcept
{
    return NT_SUCCESS(NtDeleteKey(key));
}

// What became of a key the removal was asked to delete. A parent must tell a child it
// deleted from one that was not there when opened: only the latter, listed again, means
// that the removal makes no progress.
enum class Removal { Deleted, Absent, Kept };

[[nodiscard]] Removal RemoveKeyTree(HKEY root, RemovalPathBuffer& buffer) noexcept
{
    // Deleting or enumerating below an empty path would act on the root's own subkeys.
    if (NamesRoot(buffer)) {
        return Removal::Kept;
    }
    UniqueHkey key;
    const LSTATUS opened = OpenKeyItself(root, buffer, key);
    if (opened != ERROR_SUCCESS) {
        // A key that was never there, or that vanished since its parent listed it, is gone.
        return opened == ERROR_FILE_NOT_FOUND ? Removal::Absent : Removal::Kept;
    }
    // A key without subkeys, a link among them, goes with this first delete.
    if (DeleteOpenKey(key.get())) {
        return Removal::Deleted;
    }
    // A link that refuses deletion is never entered: its subkeys are its target's. A key
    // opened for DELETE alone passes this check and then fails to list its subkeys: it
    // stays, like a key that refuses deletion.
    if (RegistryLinkState(key.get()) == LinkState::Link) {
        return Removal::Kept;
    }

    const int length = lstrlenW(buffer);
    int insert = 0;
    if (IsSeparator(buffer[length - 1])) {
        insert = length;
    } else if (length + 1 < kRemovalPathCapacity) {
        buffer[length] = L'\\';
        buffer[length + 1] = L'\0';
        insert = length + 1;
    }

    // Without room for the separator no child path can be built: the children stay and
    // the final delete fails, as for a child that cannot be deleted.
    if (insert > 0) {
        wchar_t name[kNameCapacity];
        DWORD nameLength = kNameCapacity;
        DWORD absentLength = 0;  // a child counted as gone without being deleted stands at `insert`
        // Always index 0: each pass removes the child it found, so the next one moves up.
        // Unless another writer keeps creating keys, the loop ends: a pass deletes a child,
        // leaving one fewer; or finds it gone already, and then the same name listed again
        // leaves the loop; or leaves the loop at a child that cannot be addressed, that does
        // not fit the buffer, or that cannot be deleted. A child deleted and listed again,
        // created anew meanwhile or a second key behind the same name (the per-user and the
        // machine copy in the merged view of HKEY_CLASSES_ROOT), is deleted again.
        while (RegEnumKeyExW(key.get(), 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS) {
            // A child path that would not fit in the buffer is given up on like a child
            // that refuses deletion; it is never truncated into the name of another key.
            if (!IsAddressable(name, nameLength) || insert + static_cast<int>(nameLength) >= kRemovalPathCapacity) {
                break;
            }
            if (nameLength == absentLength && std::wmemcmp(buffer + insert, name, nameLength) == 0) {
                break;
            }
            std::wmemcpy(buffer + insert, name, nameLength);
            buffer[insert + nameLength] = L'\0';
            const Removal child = RemoveKeyTree(root, buffer);
            if (child == Removal::Kept) {
                break;
            }
            absentLength = child == Removal::Absent ? nameLength : 0;
            nameLength = kNameCapacity;
        }
        buffer[insert - 1] = L'\0';
    }

    // Through the handle, which stays open until then: by its path the key would be looked
    // up afresh, and a link put in its place meanwhile would be followed.
    return DeleteOpenKey(key.get()) ? Removal::Deleted : Removal::Kept;
}

}  // namespace

LinkState RegistryLinkState(HKEY key) noexcept
{
    DWORD type = REG_NONE;
    const LSTATUS status = RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    if (status == ERROR_SUCCESS) {
        return type == REG_LINK ? LinkState::Link : LinkState::NoLink;
    }
    return status == ERROR_FILE_NOT_FOUND ? LinkState::NoLink : LinkState::Unknown;
}

bool DeleteKeyTree(HKEY root, RemovalPathBuffer& buffer) noexcept
{
    return RemoveKeyTree(root, buffer) != Removal::Kept;
}

bool RemovePlugInKeys(HKEY root, const wchar_t* path) noexcept
{
    RemovalPathBuffer buffer;
    const int length = lstrlenW(path);
    // Cutting a longer path short would name some other key.
    if (length >= kRemovalPathCapacity) {
        return false;
    }
    std::wmemcpy(buffer, path, static_cast<size_t>(length) + 1);
    return DeleteKeyTree(root, buffer);
}

}  // namespace zorva
