#pragma once

// Small registry helpers shared by the stand-ins. They never throw and never show anything:
// a stand-in that cannot record must not disturb the process it runs in, and the test that
// reads the records will notice what is missing.

#include "common/unique_resource.h"
#include "standins/standin_keys.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace zorva_standin {

inline zorva::UniqueHkey CreateKey(const wchar_t* path)
{
    zorva::UniqueHkey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
        return zorva::UniqueHkey();
    }
    return key;
}

inline zorva::UniqueHkey OpenKey(const wchar_t* path)
{
    zorva::UniqueHkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return zorva::UniqueHkey();
    }
    return key;
}

// All `length` units of `text` (embedded NULs and trailing blanks included), then a NUL.
inline void SetString(HKEY key, const wchar_t* name, const wchar_t* text, size_t length)
{
    std::wstring data(text != nullptr ? text : L"", text != nullptr ? length : 0);
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

inline void SetString(HKEY key, const wchar_t* name, const wchar_t* text)
{
    SetString(key, name, text, text != nullptr ? wcslen(text) : 0);
}

inline void SetDword(HKEY key, const wchar_t* name, DWORD value)
{
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

inline DWORD GetDword(HKEY key, const wchar_t* name, DWORD fallback)
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return fallback;
    }
    return value;
}

// The string exactly as stored, without the stored terminator; false when absent.
inline bool GetString(HKEY key, const wchar_t* name, std::wstring& text)
{
    DWORD size = 0;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return false;
    }
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) != ERROR_SUCCESS) {
        return false;
    }
    data.resize(size / sizeof(wchar_t));
    if (!data.empty() && data.back() == L'\0') {
        data.pop_back();
    }
    text = data;
    return true;
}

inline void IncrementDword(const wchar_t* path, const wchar_t* name)
{
    zorva::UniqueHkey key = CreateKey(path);
    if (key) {
        SetDword(key.get(), name, GetDword(key.get(), name, 0) + 1);
    }
}

// Creates the next free numbered record below `parent` ("0001", "0002", ...). Creating is
// the claim: the key that comes back new belongs to this caller alone, even when two
// processes record at once.
inline zorva::UniqueHkey CreateNextRecord(const wchar_t* parent)
{
    zorva::UniqueHkey parentKey = CreateKey(parent);
    if (!parentKey) {
        return zorva::UniqueHkey();
    }
    for (int index = 1; index <= kMaxRecords; ++index) {
        wchar_t name[16];
        std::swprintf(name, 16, L"%04d", index);
        zorva::UniqueHkey record;
        DWORD disposition = 0;
        if (RegCreateKeyExW(parentKey.get(), name, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, record.put(),
                            &disposition) != ERROR_SUCCESS) {
            return zorva::UniqueHkey();
        }
        if (disposition == REG_CREATED_NEW_KEY) {
            return record;
        }
    }
    return zorva::UniqueHkey();
}

}  // namespace zorva_standin
