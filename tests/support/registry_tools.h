#pragma once

// Header-only companions of support/registry.h for the co-installer and localization tests.

#include "support/registry.h"

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

namespace zorva_test {

// A registry tree as lines of text, one per key and one per value, so that a failed
// comparison prints a readable line diff. Every code unit of the data is shown (the stored
// terminator as \0) with the value's type and byte count: different trees never give the
// same text.
inline std::string DescribeTree(const RegTree& tree)
{
    // Key paths keep their backslashes; in data a backslash is escaped, so that the text of
    // a stored terminator (\0) cannot be mistaken for data.
    auto utf8 = [](const std::wstring& text, bool isData) {
        std::string out;
        for (wchar_t unit : text) {
            if (unit == L'\0') {
                out += "\\0";
            } else if (unit < 0x20 || (isData && (unit == L'"' || unit == L'\\'))) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned>(unit));
                out += escaped;
            } else {
                char bytes[8];
                int count = WideCharToMultiByte(CP_UTF8, 0, &unit, 1, bytes, sizeof(bytes), nullptr, nullptr);
                if (count > 0) {
                    out.append(bytes, static_cast<size_t>(count));
                } else {
                    std::snprintf(bytes, sizeof(bytes), "\\u%04x", static_cast<unsigned>(unit));
                    out += bytes;
                }
            }
        }
        return out;
    };
    std::string text;
    for (const auto& [path, values] : tree) {
        text += "[" + utf8(path, false) + "]\n";
        for (const auto& [name, value] : values) {
            text += "  " + (name.empty() ? std::string("@") : "\"" + utf8(name, true) + "\"");
            text +=
                " type " + std::to_string(value.type) + ", " + std::to_string(value.data.size()) + " bytes: \"";
            std::wstring units(value.data.size() / 2, L'\0');
            if (!units.empty()) {
                std::memcpy(&units[0], value.data.data(), units.size() * 2);
            }
            text += utf8(units, true) + "\"";
            if (value.data.size() % 2 != 0) {
                char last[8];
                std::snprintf(last, sizeof(last), " +%02x", static_cast<unsigned>(value.data.back()));
                text += last;
            }
            text += "\n";
        }
    }
    return text.empty() ? "(no key)\n" : text;
}

// `tree` without the key at `path` (relative to the tree's root) and everything below it.
inline RegTree WithoutSubtree(RegTree tree, const std::wstring& path)
{
    for (auto it = tree.begin(); it != tree.end();) {
        const bool below = it->first.size() > path.size() && it->first.compare(0, path.size(), path) == 0 &&
                           it->first[path.size()] == L'\\';
        it = it->first == path || below ? tree.erase(it) : std::next(it);
    }
    return tree;
}

// Owns an open registry key.
class UniqueKey {
public:
    UniqueKey() = default;
    explicit UniqueKey(HKEY key) : key_(key) {}
    ~UniqueKey()
    {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    UniqueKey(const UniqueKey&) = delete;
    UniqueKey& operator=(const UniqueKey&) = delete;

    HKEY get() const { return key_; }
    HKEY* put()
    {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
        return &key_;
    }

private:
    HKEY key_ = nullptr;
};

// Puts root\path back as it was when the guard was made: whether the key exists, and its
// whole subtree with every value. Tests that write into shared parts of the prefix's
// registry leave them as they found them, however they end.
class RegistryGuard {
public:
    RegistryGuard(HKEY root, std::wstring path)
        : root_(root),
          path_(std::move(path)),
          existed_(KeyExists(root_, path_)),
          saved_(SnapshotTree(root_, path_))
    {
    }

    ~RegistryGuard()
    {
        RegDeleteTreeW(root_, path_.c_str());
        RegDeleteKeyW(root_, path_.c_str());
        if (existed_) {
            for (const auto& [relative, values] : saved_) {
                const std::wstring full = relative.empty() ? path_ : path_ + L"\\" + relative;
                UniqueKey key;
                if (RegCreateKeyExW(root_, full.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                                    nullptr) != ERROR_SUCCESS) {
                    continue;
                }
                for (const auto& [name, value] : values) {
                    RegSetValueExW(key.get(), name.c_str(), 0, value.type, value.data.data(),
                                   static_cast<DWORD>(value.data.size()));
                }
            }
        }
        if (KeyExists(root_, path_) != existed_ || SnapshotTree(root_, path_) != saved_) {
            ADD_FAILURE() << "could not restore the registry below " << std::string(path_.begin(), path_.end())
                          << "; a key there is probably still locked by a test";
        }
    }

    RegistryGuard(const RegistryGuard&) = delete;
    RegistryGuard& operator=(const RegistryGuard&) = delete;

private:
    HKEY root_;
    std::wstring path_;
    bool existed_;
    RegTree saved_;
};

// Makes root\path refuse every access, deletion included, for as long as the object
// lives. The key's owner stays the test's own user: an owner may always rewrite the DACL
// (on Windows and in Wine), which is how the destructor gives the key back. (Making
// SYSTEM the owner as well, as DenyDelete does, would lock the key for good.) Wine grants
// an owner DELETE whatever the DACL says, so only a key with subkeys really resists
// deletion: give the key one.
class DenyAllAccess {
public:
    DenyAllAccess(HKEY root, std::wstring path) : root_(root), path_(std::move(path))
    {
        status_ = Apply(L"D:P(D;;KA;;;WD)");
    }
    ~DenyAllAccess() { Apply(L"D:(A;;KA;;;WD)"); }
    DenyAllAccess(const DenyAllAccess&) = delete;
    DenyAllAccess& operator=(const DenyAllAccess&) = delete;

    LSTATUS Status() const { return status_; }

private:
    LSTATUS Apply(const wchar_t* sddl)
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
            return static_cast<LSTATUS>(GetLastError());
        }
        UniqueKey key;
        LSTATUS status = RegOpenKeyExW(root_, path_.c_str(), 0, WRITE_DAC, key.put());
        if (status == ERROR_SUCCESS) {
            status = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
        }
        LocalFree(descriptor);
        return status;
    }

    HKEY root_;
    std::wstring path_;
    LSTATUS status_;
};

}  // namespace zorva_test
