#include "coinstaller/key_removal.h"

#include "common/unique_resource.h"

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

}  // namespace

bool DeleteKeyTree(HKEY root, wchar_t* buffer)
{
    // Deleting or enumerating below an empty path would act on the root's own subkeys.
    if (NamesRoot(buffer)) {
        return false;
    }
    if (RegDeleteKeyW(root, buffer) == ERROR_SUCCESS) {
        return true;
    }

    UniqueHkey key;
    const LSTATUS opened = RegOpenKeyExW(root, buffer, 0, KEY_READ, key.put());
    if (opened != ERROR_SUCCESS) {
        // A key that was never there, or that vanished since the delete, is gone as asked.
        return opened == ERROR_FILE_NOT_FOUND;
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
        // Always index 0: each pass removes the child it found, so the next one moves up.
        while (RegEnumKeyExW(key.get(), 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS) {
            // A child path that would not fit in the buffer is given up on like a child
            // that refuses deletion; it is never truncated into the name of another key.
            if (insert + static_cast<int>(nameLength) >= kRemovalPathCapacity) {
                break;
            }
            CopyMemory(buffer + insert, name, nameLength * sizeof(wchar_t));
            buffer[insert + nameLength] = L'\0';
            if (!DeleteKeyTree(root, buffer)) {
                break;
            }
            nameLength = kNameCapacity;
        }
        buffer[insert - 1] = L'\0';
    }

    key.reset();
    return RegDeleteKeyW(root, buffer) == ERROR_SUCCESS;
}

bool RemovePlugInKeys(HKEY root, const wchar_t* path)
{
    wchar_t buffer[kRemovalPathCapacity];
    const int length = lstrlenW(path);
    // Cutting a longer path short would name some other key.
    if (length >= kRemovalPathCapacity) {
        return false;
    }
    CopyMemory(buffer, path, (length + 1) * sizeof(wchar_t));
    return DeleteKeyTree(root, buffer);
}

}  // namespace zorva
