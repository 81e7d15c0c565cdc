// Fuzz target: the UNC server name made from a URL host (shellverbs/host_names.cpp). The
// input is the host as WinHttpCrackUrl hands it over: UTF-16LE code units, any of them
// (lone surrogates included), up to the first NUL. The oracle restates the host rules its
// own way (IPv6 addresses by the C library's inet_pton) and checks every name let through.

#include "shellverbs/host_names.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace {

void Check(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "oracle: %s\n", what);
        std::abort();
    }
}

bool IsAlphanumeric(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsNameCharacter(char c)
{
    return IsAlphanumeric(c) || c == '-' || c == '_' || c == '.';
}

// The text as ASCII, or nothing when a unit is beyond it.
std::optional<std::string> Ascii(const std::u16string& text)
{
    std::string ascii(text.begin(), text.end());
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c <= 0x7f; }) ? std::optional(ascii) : std::nullopt;
}

// Label by label: one trailing dot may close the name; a label holds letters, digits, '-'
// and '_', at least one letter or digit; the name does not start with '-'.
bool IsName(std::string name)
{
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    for (size_t start = 0, dot = 0; dot != std::string::npos; start = dot + 1) {
        dot = name.find('.', start);
        const std::string label = name.substr(start, dot - start);
        if (!std::all_of(label.begin(), label.end(), IsNameCharacter) || std::none_of(label.begin(), label.end(), IsAlphanumeric)) {
            return false;
        }
    }
    return name.front() != '-';
}

struct Ipv6 {
    in6_addr address;
    std::string zone;  // empty: none
};

// "[address]", "[address%25zone]" (RFC 6874) or "[address%zone]": an address inet_pton
// reads, without a dotted IPv4 tail, and a zone of letters and digits.
std::optional<Ipv6> Ipv6Literal(const std::string& host)
{
    if (host.size() < 3 || host.front() != '[' || host.back() != ']') {
        return std::nullopt;
    }
    std::string address = host.substr(1, host.size() - 2);
    Ipv6 literal{};
    const size_t percent = address.find('%');
    if (percent != std::string::npos) {
        literal.zone = address.substr(percent + (address.compare(percent, 3, "%25") == 0 ? 3 : 1));
        address.resize(percent);
        if (literal.zone.empty() || !std::all_of(literal.zone.begin(), literal.zone.end(), IsAlphanumeric)) {
            return std::nullopt;
        }
    }
    if (address.find('.') != std::string::npos || inet_pton(AF_INET6, address.c_str(), &literal.address) != 1) {
        return std::nullopt;
    }
    return literal;
}

// The literal an ipv6-literal.net name stands for: ':' for '-', "%25" for the 's' before a zone.
std::optional<Ipv6> LiteralOfName(std::string name)
{
    constexpr char suffix[] = ".ipv6-literal.net";
    const size_t end = name.size() - std::min(name.size(), sizeof(suffix) - 1);
    if (name.compare(end, std::string::npos, suffix) != 0) {
        return std::nullopt;
    }
    name.resize(end);
    std::replace(name.begin(), name.end(), '-', ':');
    const size_t zone = name.find('s');
    return Ipv6Literal("[" + (zone == std::string::npos ? name : name.replace(zone, 1, "%25")) + "]");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::u16string host;
    for (size_t i = 0; i + 1 < size && (data[i] != 0 || data[i + 1] != 0); i += 2) {
        host += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    // Exactly the host and its terminator: a read past the NUL is a heap overflow.
    const auto urlHost = std::make_unique<char16_t[]>(host.size() + 1);
    std::copy(host.begin(), host.end(), urlHost.get());
    char16_t uncHost[zorva::kUncHostCapacity];
    std::fill(std::begin(uncHost), std::end(uncHost), u'\uffff');
    const bool accepted = zorva::UncHostFromUrlHost(urlHost.get(), uncHost);

    const std::optional<std::string> ascii = host.size() < zorva::kUrlHostCapacity ? Ascii(host) : std::nullopt;
    const std::optional<Ipv6> literal = ascii ? Ipv6Literal(*ascii) : std::nullopt;
    const bool name = ascii && !literal && IsName(*ascii);
    Check(accepted == (name || literal), accepted ? "an invalid host was accepted" : "a valid host was refused");
    if (!accepted) {
        return 0;
    }
    const char16_t* end = std::find(std::begin(uncHost), std::end(uncHost), u'\0');
    Check(end != std::end(uncHost), "the server name has no terminator within its buffer");
    const std::optional<std::string> server = Ascii(std::u16string(uncHost, end - uncHost));
    // Letters, digits, '-', '_' and '.' only: no '\', '/', ':', '%', blank or control.
    Check(server && std::all_of(server->begin(), server->end(), IsNameCharacter), "the server name has a character outside a name");
    Check(server->find_first_not_of('.') != std::string::npos, "the server name is dots alone");
    Check(server->front() != '-', "the server name starts with '-'");
    if (name) {
        Check(*server == *ascii, "a name did not stay as it was");
        return 0;
    }
    const std::optional<Ipv6> decoded = LiteralOfName(*server);
    Check(decoded && std::memcmp(&decoded->address, &literal->address, sizeof(in6_addr)) == 0 && decoded->zone == literal->zone,
          "the ipv6-literal.net name does not stand for the literal's address and zone");
    return 0;
}
