#include "server/ShareLink.h"

#include "server/APIClient.h"

namespace tessera {

Url shareLinkFor(const std::optional<std::string>& serverLink, const std::optional<Url>& shownLink,
                 const Url& base, const std::string& recordingID) {
    if (serverLink) {
        if (auto link = Url::parse(*serverLink); link && isWebLink(*link)) {
            return *link;
        }
    }
    if (shownLink) {
        return *shownLink;
    }
    return base.appendingPathComponent("v").appendingPathComponent(recordingID);
}

}  // namespace tessera
