#include <gtest/gtest.h>

#include "app/Url.h"

namespace tessera {
namespace {

struct ParseCase {
    const char* text;
    const char* scheme = "";
    const char* host = "";
    std::optional<int> port = std::nullopt;
    const char* path = "";
};

TEST(UrlTest, ParsesOrRefuses) {
    // "127.0.0.1:3123" starts with a digit: no scheme; web schemes need "//host".
    for (const char* text : {"127.0.0.1:3123", "http://", "http://host:65536", "http://a b"}) {
        EXPECT_FALSE(Url::parse(text)) << text;
    }
    const ParseCase cases[] = {
        {"http://127.0.0.1:3123", "http", "127.0.0.1", 3123, ""},
        {"https://h.example/v/abc?x=1&y=2#top", "https", "h.example", std::nullopt, "/v/abc"},
        {"localhost:3123", "localhost", "", std::nullopt, "3123"},  // a scheme, opaque
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto url = Url::parse(c.text);
        ASSERT_TRUE(url);
        EXPECT_EQ(url->scheme(), c.scheme);
        EXPECT_EQ(url->host(), c.host);
        EXPECT_EQ(url->port(), c.port);
        EXPECT_EQ(url->path(), c.path);
        // Gives back what was parsed.
        EXPECT_EQ(url->toString(), c.scheme + std::string(c.text).substr(url->scheme().size()));
    }
}

TEST(UrlTest, AppendingPathComponentEncodesEverythingButUnreserved) {
    const auto base = *Url::parse("http://host:3123");
    EXPECT_EQ(Url::parse("http://host/base/")->appendingPathComponent("v").toString(),
              "http://host/base/v");
    EXPECT_EQ(base.appendingPathComponent("a b/c?d#e%").toString(),
              "http://host:3123/a%20b%2Fc%3Fd%23e%25");
    EXPECT_EQ(base.appendingPathComponent("..").toString(), "http://host:3123/%2E%2E");
    EXPECT_EQ(Url::parse("http://h/p?q=1")->appendingPathComponent("id").toString(),
              "http://h/p/id?q=1");
}

}  // namespace
}  // namespace tessera
