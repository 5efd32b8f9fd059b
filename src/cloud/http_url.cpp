#include "cloud/http_url.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace krel {
namespace {

constexpr size_t kMaxHost = 255;  // the cracker's 256-character buffer
constexpr size_t kMaxPath = 2047; // the cracker's 2048-character buffer

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool validHostChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '-' || c == '.' || c == '_';
}

std::optional<uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

} // namespace

std::optional<HttpUrl> splitUrl(std::string_view url) {
    for (char c : url) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) return std::nullopt;
    }
    const size_t sep = url.find("://");
    if (sep == std::string_view::npos) return std::nullopt;
    HttpUrl out;
    const std::string_view scheme = url.substr(0, sep);
    if (equalsNoCase(scheme, "https")) {
        out.secure = true;
        out.port = 443;
    } else if (equalsNoCase(scheme, "http")) {
        out.port = 80;
    } else {
        return std::nullopt;
    }
    std::string_view rest = url.substr(sep + 3);
    const size_t pathStart = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, pathStart);
    std::string_view path = pathStart == std::string_view::npos ? std::string_view{} : rest.substr(pathStart);
    if (authority.find('@') != std::string_view::npos) return std::nullopt;

    std::string_view host;
    std::string_view portText;
    bool hasPort = false; // a colon after the host promises a port
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            portText = after.substr(1);
            hasPort = true;
        }
        if (host.empty() || !std::all_of(host.begin(), host.end(), [](char c) {
                return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
            }))
            return std::nullopt;
    } else {
        const size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
            hasPort = true;
        }
        if (!std::all_of(host.begin(), host.end(), validHostChar)) return std::nullopt;
    }
    if (host.empty() || host.size() > kMaxHost) return std::nullopt;
    if (hasPort) {
        const auto port = parsePort(portText);
        if (!port) return std::nullopt;
        out.port = *port;
    }
    // The fragment is never sent.
    if (const size_t hash = path.find('#'); hash != std::string_view::npos) path = path.substr(0, hash);
    if (path.empty()) path = "/";
    if (path.front() == '?') return std::nullopt;
    if (path.size() > kMaxPath) return std::nullopt;
    out.host.assign(host);
    std::transform(out.host.begin(), out.host.end(), out.host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    out.path.assign(path);
    return out;
}

bool isLoopbackHost(std::string_view host) {
    if (host == "localhost" || host == "::1") return true;
    if (!host.starts_with("127.")) return false;
    // A dotted IPv4 literal with four numeric parts up to 255.
    int parts = 0;
    size_t pos = 0;
    while (pos <= host.size()) {
        const size_t dot = std::min(host.find('.', pos), host.size());
        const std::string_view part = host.substr(pos, dot - pos);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        if (std::stoi(std::string(part)) > 255) return false;
        ++parts;
        pos = dot + 1;
    }
    return parts == 4;
}

std::optional<HttpUrl> splitAllowedUrl(std::string_view url) {
    auto split = splitUrl(url);
    if (!split) return std::nullopt;
    if (!split->secure && !isLoopbackHost(split->host)) return std::nullopt;
    return split;
}

std::string joinUrl(const HttpUrl& url) {
    const bool v6 = url.host.find(':') != std::string::npos;
    return fmt::format("{}://{}{}{}:{}{}", url.secure ? "https" : "http", v6 ? "[" : "", url.host,
                       v6 ? "]" : "", url.port, url.path);
}

} // namespace krel
