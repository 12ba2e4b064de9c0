#include <gtest/gtest.h>

#include "app/Url.h"

namespace tessera {
namespace {

struct ParseCase {
    const char* text;
    bool valid;
    const char* scheme = "";
    const char* host = "";
    std::optional<int> port = std::nullopt;
    const char* path = "";
};

TEST(UrlTest, ParsesOrRefuses) {
    const ParseCase cases[] = {
        {"http://127.0.0.1:3123", true, "http", "127.0.0.1", 3123, ""},
        {"HTTPS://Example.com/a/b%20c", true, "https", "Example.com", std::nullopt, "/a/b%20c"},
        {"http://[::1]:8080/x", true, "http", "[::1]", 8080, "/x"},
        {"http://host:65535", true, "http", "host", 65535, ""},
        {"localhost:3123", true, "localhost", "", std::nullopt, "3123"},  // a scheme, opaque
        {"127.0.0.1:3123", false},  // starts with a digit: no scheme
        {"example.com", false},     // no scheme
        {"://host", false},
        {"http:host", false},  // web schemes need "//host"
        {"http://", false},
        {"http://:80", false},
        {"http://host:0", false},
        {"http://host:65536", false},
        {"http://host:12a", false},
        {"http://user@host", false},
        {"http://a b", false},
        {"http://host/\x7f", false},
        {"http://host/caf\xc3\xa9", false},
        {"http://host/{x}", false},
        {"ht tp://host", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto url = Url::parse(c.text);
        ASSERT_EQ(url.has_value(), c.valid);
        if (!url) {
            continue;
        }
        EXPECT_EQ(url->scheme(), c.scheme);
        EXPECT_EQ(url->host(), c.host);
        EXPECT_EQ(url->port(), c.port);
        EXPECT_EQ(url->path(), c.path);
    }
}

TEST(UrlTest, ToStringGivesBackWhatWasParsed) {
    for (const char* text : {"http://127.0.0.1:3123", "https://h.example/v/abc?x=1&y=2#top",
                             "http://[::1]:8080/", "mailto:someone", "file:///tmp/a"}) {
        SCOPED_TRACE(text);
        const auto url = Url::parse(text);
        ASSERT_TRUE(url);
        EXPECT_EQ(url->toString(), text);
        EXPECT_EQ(Url::parse(url->toString()), url);
    }
}

TEST(UrlTest, AppendingPathComponentEncodesEverythingButUnreserved) {
    const auto base = *Url::parse("http://host:3123");
    EXPECT_EQ(base.appendingPathComponent("api").appendingPathComponent("recordings").toString(),
              "http://host:3123/api/recordings");
    EXPECT_EQ(Url::parse("http://host/base/")->appendingPathComponent("v").toString(),
              "http://host/base/v");
    EXPECT_EQ(base.appendingPathComponent("a b/c?d#e%").toString(),
              "http://host:3123/a%20b%2Fc%3Fd%23e%25");
    EXPECT_EQ(base.appendingPathComponent("..").toString(), "http://host:3123/%2E%2E");
    EXPECT_EQ(base.appendingPathComponent("x..y_~-").toString(), "http://host:3123/x..y_~-");
    EXPECT_EQ(base.appendingPathComponent("\xc3\xa9").toString(), "http://host:3123/%C3%A9");
    EXPECT_EQ(Url::parse("http://h/p?q=1")->appendingPathComponent("id").toString(),
              "http://h/p/id?q=1");
}

}  // namespace
}  // namespace tessera
