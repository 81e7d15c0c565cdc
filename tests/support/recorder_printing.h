#pragma once

// The recorder's rendering of arguments by value.

#include "support/recorder_internal.h"

#include <objbase.h>
#include <setupapi.h>
#include <winhttp.h>
#include <winnetwk.h>

#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>

namespace zorva_test::recording {

struct Out {
    State& state;
    std::string text;
    void Add(const std::string& part) { text += (text.empty() ? "" : ", ") + part; }
};

// An object, a handle or a buffer by identity: "#n", numbered in order of appearance.
inline std::string Id(State& state, const void* pointer)
{
    if (pointer == nullptr) {
        return "null";
    }
    auto [it, added] = state.ids.emplace(pointer, "");
    if (added) {
        it->second = "#" + std::to_string(state.ids.size());
    }
    return it->second;
}

inline std::string Hex(unsigned long long value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", value);
    return text;
}

// The text in quotes, at most `limit` units: a quote escaped, units outside printable ASCII as
// \uXXXX, backslashes as they are (an expected path reads as the path).
inline std::string Quoted(const wchar_t* text, size_t limit = 4096)
{
    if (text == nullptr) {
        return "null";
    }
    std::string out = "\"";
    for (size_t i = 0; i < limit && text[i] != L'\0'; ++i) {
        const wchar_t c = text[i];
        char unit[16];
        if (c >= 0x20 && c < 0x7F && c != L'"') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(unit, sizeof(unit), c == L'"' ? "\\\"" : "\\u%04x", static_cast<unsigned>(c));
            out += unit;
        }
    }
    return out + "\"";
}

inline std::string Quoted(const char* text)
{
    return text == nullptr ? "null" : "\"" + std::string(text) + "\"";
}

inline std::string KeyName(State& state, HKEY key)
{
    const std::pair<HKEY, const char*> roots[] = {
        {HKEY_CLASSES_ROOT, "HKCR"}, {HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"}};
    for (const auto& [root, name] : roots) {
        if (key == root) {
            return name;
        }
    }
    return Id(state, key);
}

inline void In(Out& o, HKEY key) { o.Add(KeyName(o.state, key)); }
inline void In(Out& o, const wchar_t* text) { o.Add(Quoted(text)); }
inline void In(Out& o, const char* text) { o.Add(Quoted(text)); }
inline void In(Out& o, const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    o.Add(Quoted(text).substr(1, 38));
}
inline void In(Out& o, const GUID* guid)
{
    if (guid == nullptr) {
        o.Add("null");
    } else {
        In(o, *guid);
    }
}
template <typename T>
void In(Out& o, T value)
{
    if constexpr (std::is_pointer_v<T>) {
        // Buffers, handles and objects by identity; their text would not be theirs yet.
        o.Add(Id(o.state, reinterpret_cast<const void*>(value)));
    } else if constexpr (std::is_unsigned_v<T>) {
        o.Add(Hex(value));
    } else {
        o.Add(value < 0 ? Hex(static_cast<unsigned long>(value)) : std::to_string(value));
    }
}
inline void In(Out& o, DWORD* value) { o.Add(value == nullptr ? "null" : "&" + Hex(*value)); }
inline void In(Out& o, HKEY*) { o.Add("&key"); }
inline void In(Out& o, SHELLEXECUTEINFOW* i)
{
    o.Add("{cbSize=" + std::to_string(i->cbSize) + " fMask=" + Hex(i->fMask) + " hwnd=" + Id(o.state, i->hwnd) +
          " lpVerb=" + Quoted(i->lpVerb) + " lpFile=" + Quoted(i->lpFile) + " lpParameters=" +
          Quoted(i->lpParameters) + " lpDirectory=" + Quoted(i->lpDirectory) + " nShow=" + std::to_string(i->nShow) +
          " hInstApp=" + Id(o.state, i->hInstApp) + " lpIDList=" + Id(o.state, i->lpIDList) +
          " lpClass=" + Quoted(i->lpClass) + " hkeyClass=" + Id(o.state, i->hkeyClass) +
          " dwHotKey=" + Hex(i->dwHotKey) + " hIcon=" + Id(o.state, i->hIcon) +
          " hProcess=" + Id(o.state, i->hProcess) + "}");
}
inline void In(Out& o, NETRESOURCEW* r)
{
    o.Add("{dwScope=" + Hex(r->dwScope) + " dwType=" + Hex(r->dwType) + " dwDisplayType=" + Hex(r->dwDisplayType) +
          " dwUsage=" + Hex(r->dwUsage) + " lpLocalName=" + Quoted(r->lpLocalName) +
          " lpRemoteName=" + Quoted(r->lpRemoteName) + " lpComment=" + Quoted(r->lpComment) +
          " lpProvider=" + Quoted(r->lpProvider) + "}");
}
inline void In(Out& o, URL_COMPONENTS* c)
{
    o.Add("{dwStructSize=" + std::to_string(c->dwStructSize) + " scheme=" + Id(o.state, c->lpszScheme) + "/" +
          Hex(c->dwSchemeLength) + " host=" + Id(o.state, c->lpszHostName) + "/" + Hex(c->dwHostNameLength) +
          " user=" + Id(o.state, c->lpszUserName) + "/" + Hex(c->dwUserNameLength) +
          " password=" + Id(o.state, c->lpszPassword) + "/" + Hex(c->dwPasswordLength) +
          " path=" + Id(o.state, c->lpszUrlPath) + "/" + Hex(c->dwUrlPathLength) +
          " extra=" + Id(o.state, c->lpszExtraInfo) + "/" + Hex(c->dwExtraInfoLength) + "}");
}
inline void In(Out& o, SP_DEVINSTALL_PARAMS_W* p)
{
    o.Add("{cbSize=" + std::to_string(p->cbSize) + " Flags=" + Hex(p->Flags) + " FlagsEx=" + Hex(p->FlagsEx) + "}");
}

// What out-parameters got back; nothing for the other arguments.
template <typename T>
void After(Out&, T)
{
}
inline void After(Out& o, DWORD* value)
{
    if (value != nullptr) {
        o.Add("-> " + Hex(*value));
    }
}
inline void After(Out& o, HKEY* key)
{
    if (key != nullptr) {
        o.Add("-> " + KeyName(o.state, *key));
    }
}
inline void After(Out& o, void** object)
{
    if (object != nullptr) {
        o.Add("-> " + Id(o.state, *object));
    }
}
inline void After(Out& o, SHELLEXECUTEINFOW* i) { o.Add("-> hProcess=" + Id(o.state, i->hProcess)); }
inline void After(Out& o, URL_COMPONENTS* c) { o.Add("-> host=" + Quoted(c->lpszHostName, c->dwHostNameLength)); }
inline void After(Out& o, SP_DEVINSTALL_PARAMS_W* p) { o.Add("-> Flags=" + Hex(p->Flags) + " FlagsEx=" + Hex(p->FlagsEx)); }

}  // namespace zorva_test::recording
