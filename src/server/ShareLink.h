#pragma once

#include <optional>
#include <string>

#include "app/Url.h"

namespace tessera {

// The link to hand out after finalize: the server's link when it parses as an
// http or https URL, else the link already shown during the recording, else the
// base with the path components "v" and the recording id. Links of any other
// scheme are never handed to the browser or the clipboard, since a broken or
// hostile server could otherwise make the recorder open arbitrary handlers.
Url shareLinkFor(const std::optional<std::string>& serverLink, const std::optional<Url>& shownLink,
                 const Url& base, const std::string& recordingID);

}  // namespace tessera
