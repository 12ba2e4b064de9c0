#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessera {

// An absolute URL, split into its parts.
//
// Parsing rule: the text must start with a scheme (a letter, then letters,
// digits, "+", "-" or "."), followed by ":". Schemes "http" and "https" must
// continue with "//" and a non-empty host, optionally ":port" (1-65535), then an
// optional path starting with "/", "?query" and "#fragment". Other schemes may
// use the same "//host" form (with an empty host, as in "file:///tmp") or carry
// an opaque path ("mailto:x"; so "localhost:3123" is scheme "localhost"). Spaces,
// control characters, non-ASCII bytes, user information ("user@") and the
// characters " < > \ ^ ` { | } are refused anywhere. The scheme is kept in
// lower case; everything else is kept as written.
class Url {
  public:
    static std::optional<Url> parse(std::string_view text);

    const std::string& scheme() const { return scheme_; }
    // Empty for URLs without an authority ("mailto:x").
    const std::string& host() const { return host_; }
    std::optional<int> port() const { return port_; }
    // Percent-encoded, as written; "" when the URL has none.
    const std::string& path() const { return path_; }
    const std::optional<std::string>& query() const { return query_; }
    const std::optional<std::string>& fragment() const { return fragment_; }
    bool hasAuthority() const { return hasAuthority_; }

    std::string toString() const;

    // A copy with `component` added as one more path segment: "/" is inserted
    // when the path does not already end with one, and every byte outside the
    // unreserved set (letters, digits, "-", ".", "_", "~") is percent-encoded,
    // "/" included, so a component can never add or climb path levels ("." and
    // ".." are encoded too). Query and fragment stay as they were.
    Url appendingPathComponent(std::string_view component) const;

    friend bool operator==(const Url&, const Url&) = default;

  private:
    std::string scheme_;
    bool hasAuthority_ = false;
    std::string host_;
    std::optional<int> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

}  // namespace tessera
