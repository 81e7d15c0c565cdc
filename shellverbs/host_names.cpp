#include "shellverbs/host_names.h"

#include <algorithm>
#include <cwchar>
#include <string_view>

namespace zorva {
namespace {

// The fixed parts are ASCII, compared and copied unit by unit in the host's unit type.
constexpr std::string_view kIpv6LiteralSuffix = ".ipv6-literal.net";
// RFC 6874 writes the zone separator '%' percent-encoded in a URL.
constexpr std::string_view kEncodedZoneSeparator = "%25";

template <typename Unit>
using View = std::basic_string_view<Unit>;

template <typename Unit>
bool IsAsciiAlphanumeric(Unit c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

template <typename Unit>
bool IsHexDigit(Unit c) noexcept
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A part of `text` from `start`, which is within it, of at most `count` characters.
// basic_string_view::substr would check `start` with a throw, and a throw is what this
// library never makes: even one that cannot happen links the runtime's exception support,
// and the threads and unwinder behind it, into the DLL.
template <typename Unit>
constexpr View<Unit> Part(View<Unit> text, size_t start, size_t count = View<Unit>::npos) noexcept
{
    return View<Unit>(text.data() + start, std::min(count, text.size() - start));
}

template <typename Unit>
bool StartsWith(View<Unit> text, std::string_view prefix) noexcept
{
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin());
}

// Dot-separated labels, none empty, of letters, digits, '-' and '_', each with at least one
// letter or digit. One trailing dot may close the labels: "nas.example." is the fully
// qualified form of a name. Dots alone stay refused: "\\." is the Win32 device namespace.
// No name starts with '-': a program handed the name as an argument would take it for an
// option.
template <typename Unit>
bool IsHostName(View<Unit> host) noexcept
{
    if (!host.empty() && host.front() == '-') {
        return false;
    }
    if (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    bool labelHasAlphanumeric = false;
    for (Unit c : host) {
        if (c == '.') {
            if (!labelHasAlphanumeric) {
                return false;
            }
            labelHasAlphanumeric = false;
        } else if (IsAsciiAlphanumeric(c)) {
            labelHasAlphanumeric = true;
        } else if (c != '-' && c != '_') {
            return false;
        }
    }
    return labelHasAlphanumeric;
}

// Groups of one to four hex digits joined by ':', eight of them, or fewer with one "::".
// An embedded dotted IPv4 tail is refused: its dots would split the literal name's label.
template <typename Unit>
bool IsIpv6Address(View<Unit> address) noexcept
{
    size_t i = 0;
    size_t groups = 0;
    bool compressed = false;
    if (StartsWith(address, "::")) {
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
        if (address[i] != ':' || ++i == address.size()) {
            return false;
        }
        if (address[i] == ':') {
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
// Where that "::" stands for one group only (the address then has eight colons), the "0" is
// that group and one of its colons goes: "0--1-2-3-4-5-6-7" would read back as nine groups.
template <typename Unit>
[[nodiscard]] bool MapIpv6Literal(View<Unit> literal, Unit (&uncHost)[kUncHostCapacity]) noexcept
{
    View<Unit> address = Part(literal, 1, literal.size() - 2);
    View<Unit> zone;
    bool zoned = false;
    const size_t separator = address.find(Unit('%'));
    if (separator != View<Unit>::npos) {
        zoned = true;
        zone = Part(address, separator + 1);
        if (StartsWith(Part(address, separator), kEncodedZoneSeparator)) {
            zone = Part(address, separator + kEncodedZoneSeparator.size());
        }
        address = Part(address, 0, separator);
    }
    if (!IsIpv6Address(address) || (zoned && zone.empty())) {
        return false;
    }
    const bool compressesOneGroup = std::count(address.begin(), address.end(), Unit(':')) == 8;
    size_t used = 0;
    const auto append = [&](Unit c) { uncHost[used++] = c; };
    if (address.front() == ':') {
        append('0');
        address.remove_prefix(compressesOneGroup ? 1 : 0);
    }
    const bool trailingCompression = address.back() == ':';
    address.remove_suffix(trailingCompression && compressesOneGroup ? 1 : 0);
    for (Unit c : address) {
        append(c == ':' ? Unit('-') : c);
    }
    if (trailingCompression) {
        append('0');
    }
    if (zoned) {
        append('s');
        for (Unit c : zone) {
            if (!IsAsciiAlphanumeric(c)) {
                return false;
            }
            append(c);
        }
    }
    for (char c : kIpv6LiteralSuffix) {
        append(static_cast<Unit>(c));
    }
    uncHost[used] = Unit();
    return true;
}

}  // namespace

template <typename Unit>
bool UncHostFromUrlHost(const Unit* urlHost, Unit (&uncHost)[kUncHostCapacity]) noexcept
{
    // Longer hosts never come out of WinHttpCrackUrl's buffer; the bound keeps the mapped
    // form inside `uncHost`.
    size_t length = 0;
    while (length < kUrlHostCapacity && urlHost[length] != Unit()) {
        ++length;
    }
    const View<Unit> host(urlHost, length);
    if (host.size() >= kUrlHostCapacity) {
        return false;
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        return MapIpv6Literal(host, uncHost);
    }
    if (!IsHostName(host)) {
        return false;
    }
    host.copy(uncHost, host.size());
    uncHost[host.size()] = Unit();
    return true;
}

template bool UncHostFromUrlHost(const wchar_t* urlHost, wchar_t (&uncHost)[kUncHostCapacity]) noexcept;
// Where wchar_t is wider than UTF-16 (Linux, where the rules are fuzzed), the UTF-16 unit.
#if WCHAR_MAX > 0xFFFF
template bool UncHostFromUrlHost(const char16_t* urlHost, char16_t (&uncHost)[kUncHostCapacity]) noexcept;
#endif

}  // namespace zorva
