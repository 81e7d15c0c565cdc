#include "shellverbs/host_names.h"

#include <algorithm>
#include <cwchar>
#include <string_view>

namespace zorva {
namespace {

constexpr std::wstring_view kIpv6LiteralSuffix = L".ipv6-literal.net";
// RFC 6874 writes the zone separator '%' percent-encoded in a URL.
constexpr std::wstring_view kEncodedZoneSeparator = L"%25";

bool IsAsciiAlphanumeric(wchar_t c) noexcept
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
}

bool IsHexDigit(wchar_t c) noexcept
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// Dot-separated labels, none empty, of letters, digits, '-' and '_', each with at least one
// letter or digit. One trailing dot may close the labels: "nas.example." is the fully
// qualified form of a name. Dots alone stay refused: "\\." is the Win32 device namespace.
bool IsHostName(std::wstring_view host) noexcept
{
    if (!host.empty() && host.back() == L'.') {
        host.remove_suffix(1);
    }
    bool labelHasAlphanumeric = false;
    for (wchar_t c : host) {
        if (c == L'.') {
            if (!labelHasAlphanumeric) {
                return false;
            }
            labelHasAlphanumeric = false;
        } else if (IsAsciiAlphanumeric(c)) {
            labelHasAlphanumeric = true;
        } else if (c != L'-' && c != L'_') {
            return false;
        }
    }
    return labelHasAlphanumeric;
}

// Groups of one to four hex digits joined by ':', eight of them, or fewer with one "::".
// An embedded dotted IPv4 tail is refused: its dots would split the literal name's label.
// A part of `text` from `start`, which is within it, of at most `count` characters.
// wstring_view::substr would check `start` with a throw, and a throw is what this library
// never makes: even one that cannot happen links the runtime's exception support, and the
// threads and unwinder behind it, into the DLL.
constexpr std::wstring_view Part(std::wstring_view text, size_t start,
                                 size_t count = std::wstring_view::npos) noexcept
{
    return std::wstring_view(text.data() + start, std::min(count, text.size() - start));
}

bool IsIpv6Address(std::wstring_view address) noexcept
{
    size_t i = 0;
    size_t groups = 0;
    bool compressed = false;
    if (Part(address, 0, 2) == L"::") {
        compressed = true;
        i = 2;
    }
    while (i < address.size()) {
        const size_t start = i;
        while (i < address.size() && IsHexDigit(address[i])) {
            ++i;
        }
        if (i == start || i - start > 4) {
            return false;
        }
        ++groups;
        if (i == address.size()) {
            break;
        }
        if (address[i] != L':' || ++i == address.size()) {
            return false;
        }
        if (address[i] == L':') {
            if (compressed) {
                return false;
            }
            compressed = true;
            ++i;
        }
    }
    return compressed ? groups <= 7 : groups == 8;
}

// "[fe80::1%4]" -> "fe80--1s4.ipv6-literal.net", the form Windows resolves in UNC paths; a
// leading or trailing "::" gets a "0" so that the name neither starts nor ends with '-'.
[[nodiscard]] bool MapIpv6Literal(std::wstring_view literal, wchar_t (&uncHost)[kUncHostCapacity]) noexcept
{
    std::wstring_view address = Part(literal, 1, literal.size() - 2);
    std::wstring_view zone;
    bool zoned = false;
    const size_t separator = address.find(L'%');
    if (separator != std::wstring_view::npos) {
        zoned = true;
        zone = Part(address, separator + 1);
        if (Part(address, separator, kEncodedZoneSeparator.size()) == kEncodedZoneSeparator) {
            zone = Part(address, separator + kEncodedZoneSeparator.size());
        }
        address = Part(address, 0, separator);
    }
    if (!IsIpv6Address(address) || (zoned && zone.empty())) {
        return false;
    }
    size_t used = 0;
    const auto append = [&](wchar_t c) { uncHost[used++] = c; };
    if (address.front() == L':') {
        append(L'0');
    }
    for (wchar_t c : address) {
        append(c == L':' ? L'-' : c);
    }
    if (address.back() == L':') {
        append(L'0');
    }
    if (zoned) {
        append(L's');
        for (wchar_t c : zone) {
            if (!IsAsciiAlphanumeric(c)) {
                return false;
            }
            append(c);
        }
    }
    for (wchar_t c : kIpv6LiteralSuffix) {
        append(c);
    }
    uncHost[used] = L'\0';
    return true;
}

}  // namespace

bool UncHostFromUrlHost(const wchar_t* urlHost, wchar_t (&uncHost)[kUncHostCapacity]) noexcept
{
    // Longer hosts never come out of WinHttpCrackUrl's buffer; the bound keeps the mapped
    // form inside `uncHost`.
    const std::wstring_view host(urlHost, wcsnlen(urlHost, kUrlHostCapacity));
    if (host.size() >= kUrlHostCapacity) {
        return false;
    }
    if (host.size() > 2 && host.front() == L'[' && host.back() == L']') {
        return MapIpv6Literal(host, uncHost);
    }
    if (!IsHostName(host)) {
        return false;
    }
    host.copy(uncHost, host.size());
    uncHost[host.size()] = L'\0';
    return true;
}

}  // namespace zorva
