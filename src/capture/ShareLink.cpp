#include "capture/ShareLink.h"

namespace tessera {

namespace {
std::optional<Url> webLink(const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    auto url = Url::parse(*text);
    if (!url || (url->scheme() != "http" && url->scheme() != "https")) {
        return std::nullopt;
    }
    return url;
}
}  // namespace

Url derivedShareLink(const Url& base, const std::string& recordingID) {
    return base.appendingPathComponent("v").appendingPathComponent(recordingID);
}

Url shareLinkFor(const std::optional<std::string>& serverLink, const std::optional<Url>& shownLink,
                 const Url& base, const std::string& recordingID) {
    if (auto link = webLink(serverLink)) {
        return *link;
    }
    if (shownLink) {
        return *shownLink;
    }
    return derivedShareLink(base, recordingID);
}

Url shareLinkFor(const std::optional<std::string>& serverLink, const Url& base,
                 const std::string& recordingID) {
    return shareLinkFor(serverLink, std::nullopt, base, recordingID);
}

}  // namespace tessera
