#pragma once
// Splitting an HTTP(S) address into its parts, and the rule which addresses
// the program may contact. Portable and side-effect free.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace krel {

struct HttpUrl {
    bool secure = false; // https
    std::string host;    // without brackets for IPv6 literals
    uint16_t port = 0;   // the scheme's default when the address names none
    std::string path;    // from the first "/" on, with query; "/" when absent
};

// The URL split like the platform's URL cracker: scheme "http" or "https"
// (any case), "://", a host of at most 255 characters, an optional port,
// a path (with query) of at most 2047 characters. Addresses with user
// information, a fragment-only path, control characters or blanks are
// refused. Returns nothing when the address cannot be split.
std::optional<HttpUrl> splitUrl(std::string_view url);

// True for "localhost", 127.0.0.0/8 and ::1.
bool isLoopbackHost(std::string_view host);

// splitUrl plus the transport rule: "http" only towards loopback hosts.
std::optional<HttpUrl> splitAllowedUrl(std::string_view url);

// The address rebuilt from its parts, as handed to the transport.
std::string joinUrl(const HttpUrl& url);

} // namespace krel
