#pragma once
// Where the overlay's web view finds its page: a private URL scheme that
// serves only the page file. The clips come from the clip server (see
// overlayClipBaseUrl), since a web view's player may not take a private
// scheme.

#include <string_view>

namespace krel {

inline constexpr char kPageScheme[] = "krel-page";
inline constexpr std::string_view kPageOrigin = "krel-page://app/";
inline constexpr std::string_view kPageUrl = "krel-page://app/overlay.html";

// True for the page's own address (with or without a query or fragment).
constexpr bool isPageUrl(std::string_view url) {
    if (!url.starts_with(kPageUrl)) return false;
    const std::string_view rest = url.substr(kPageUrl.size());
    return rest.empty() || rest.front() == '#' || rest.front() == '?';
}

} // namespace krel
