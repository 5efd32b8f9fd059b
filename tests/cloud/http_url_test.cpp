#include "cloud/http_url.h"

#include <gtest/gtest.h>

namespace krel {
namespace {

TEST(HttpUrl, SplitsSchemeHostPortAndPath) {
    auto u = splitUrl("https://Play.Example.de/downloads/play/latest.json?x=1#frag");
    ASSERT_TRUE(u);
    EXPECT_TRUE(u->secure);
    EXPECT_EQ(u->host, "play.example.de");
    EXPECT_EQ(u->port, 443);
    EXPECT_EQ(u->path, "/downloads/play/latest.json?x=1");

    u = splitUrl("HTTP://127.0.0.1:8080");
    ASSERT_TRUE(u);
    EXPECT_FALSE(u->secure);
    EXPECT_EQ(u->port, 8080);
    EXPECT_EQ(u->path, "/");

    u = splitUrl("http://[::1]:9000/api");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->host, "::1");
    EXPECT_EQ(joinUrl(*u), "http://[::1]:9000/api");
}

TEST(HttpUrl, RefusesWhatCannotBeSplit) {
    for (const char* bad : {"", "example.de/latest.json", "ftp://example.de/x", "file:///etc/passwd",
                            "https://", "https://user:pw@example.de/", "https://example.de:/x",
                            "https://example.de:99999/x", "https://exa mple.de/", "https://example.de/a b",
                            "https://example.de/\r\nX: y", "https://[::1/x", "https://example.de?q"}) {
        EXPECT_FALSE(splitUrl(bad)) << bad;
    }
    EXPECT_FALSE(splitUrl("https://" + std::string(256, 'a') + "/"));
    EXPECT_TRUE(splitUrl("https://" + std::string(255, 'a') + "/"));
    EXPECT_FALSE(splitUrl("https://example.de/" + std::string(2047, 'p')));
    EXPECT_TRUE(splitUrl("https://example.de/" + std::string(2046, 'p')));
}

TEST(HttpUrl, PlainHttpOnlyTowardsLoopback) {
    EXPECT_TRUE(splitAllowedUrl("http://127.0.0.1:5000/api"));
    EXPECT_TRUE(splitAllowedUrl("http://127.8.9.10/"));
    EXPECT_TRUE(splitAllowedUrl("http://localhost:1/"));
    EXPECT_TRUE(splitAllowedUrl("http://[::1]:1/"));
    EXPECT_TRUE(splitAllowedUrl("https://example.de/"));
    EXPECT_FALSE(splitAllowedUrl("http://example.de/"));
    EXPECT_FALSE(splitAllowedUrl("http://127.0.0.1.example.de/"));
    EXPECT_FALSE(splitAllowedUrl("http://127.0.0.256/"));
    EXPECT_FALSE(splitAllowedUrl("http://128.0.0.1/"));
    EXPECT_FALSE(splitAllowedUrl("http://localhost.example.de/"));
}

} // namespace
} // namespace krel
