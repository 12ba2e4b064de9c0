#pragma once

#include <optional>
#include <string>

#include "app/Url.h"

namespace tessera {

// The recording's page on the server: the base with the path components "v"
// and the recording id.
Url derivedShareLink(const Url& base, const std::string& recordingID);

// The link to hand out after finalize: the server's link when it parses as an
// http or https URL, else the link already shown during the recording, else the
// derived one. Links of any other scheme are never handed to the browser or the
// clipboard, since a broken or hostile server could otherwise make the
// recorder open arbitrary local handlers.
Url shareLinkFor(const std::optional<std::string>& serverLink, const std::optional<Url>& shownLink,
                 const Url& base, const std::string& recordingID);

// The link to show at start: the server's http(s) link, else the derived one.
Url shareLinkFor(const std::optional<std::string>& serverLink, const Url& base,
                 const std::string& recordingID);

}  // namespace tessera
