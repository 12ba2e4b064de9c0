#include "app/Url.h"

#include <algorithm>
#include <cctype>

namespace tessera {
namespace {

bool isAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isRefused(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f) {
        return true;
    }
    return std::string_view("\"<>\\^`{|}").find(c) != std::string_view::npos;
}

bool isUnreserved(char c) {
    return isAsciiAlpha(c) || isAsciiDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

std::optional<int> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    int port = 0;
    for (char c : text) {
        if (!isAsciiDigit(c)) {
            return std::nullopt;
        }
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

// Splits "host[:port]" (with "[v6]" literals); false when malformed. An empty
// authority ("file:///x") is accepted only when `requireHost` is false.
bool parseAuthority(std::string_view authority, bool requireHost, std::string& host,
                    std::optional<int>& port) {
    if (authority.find('@') != std::string_view::npos) {
        return false;
    }
    if (authority.empty()) {
        return !requireHost;
    }
    std::string_view hostPart = authority;
    std::string_view portPart;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos || close == 1) {
            return false;
        }
        hostPart = authority.substr(0, close + 1);
        const auto rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return false;
            }
            hasPort = true;
            portPart = rest.substr(1);
        }
    } else if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
        hostPart = authority.substr(0, colon);
        portPart = authority.substr(colon + 1);
        hasPort = true;
        if (hostPart.find(':') != std::string_view::npos || hostPart.find('[') != hostPart.npos ||
            hostPart.find(']') != hostPart.npos) {
            return false;
        }
    }
    if (hostPart.empty()) {
        return false;
    }
    if (hasPort) {
        port = parsePort(portPart);
        if (!port) {
            return false;
        }
    }
    host = std::string(hostPart);
    return true;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (std::any_of(text.begin(), text.end(), isRefused)) {
        return std::nullopt;
    }
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || !isAsciiAlpha(text.front())) {
        return std::nullopt;
    }
    Url url;
    for (char c : text.substr(0, colon)) {
        if (!isAsciiAlpha(c) && !isAsciiDigit(c) && c != '+' && c != '-' && c != '.') {
            return std::nullopt;
        }
        url.scheme_.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    std::string_view rest = text.substr(colon + 1);

    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment_ = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        url.query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }

    const bool webScheme = url.scheme_ == "http" || url.scheme_ == "https";
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        const auto authority = rest.substr(0, slash);
        if (!parseAuthority(authority, webScheme, url.host_, url.port_)) {
            return std::nullopt;
        }
        url.hasAuthority_ = true;
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    } else if (webScheme) {
        return std::nullopt;
    }
    url.path_ = std::string(rest);
    return url;
}

std::string Url::toString() const {
    std::string text = scheme_ + ":";
    if (hasAuthority_) {
        text += "//" + host_;
        if (port_) {
            text += ":" + std::to_string(*port_);
        }
    }
    text += path_;
    if (query_) {
        text += "?" + *query_;
    }
    if (fragment_) {
        text += "#" + *fragment_;
    }
    return text;
}

Url Url::appendingPathComponent(std::string_view component) const {
    static constexpr char kHex[] = "0123456789ABCDEF";
    Url result = *this;
    if (result.path_.empty() || result.path_.back() != '/') {
        result.path_.push_back('/');
    }
    const bool dotSegment = component == "." || component == "..";
    for (char c : component) {
        if (isUnreserved(c) && !dotSegment) {
            result.path_.push_back(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            result.path_.push_back('%');
            result.path_.push_back(kHex[byte >> 4]);
            result.path_.push_back(kHex[byte & 0x0f]);
        }
    }
    return result;
}

}  // namespace tessera
