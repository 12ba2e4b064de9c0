#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tessera::webapp {

// Escapes text for HTML element content and attribute values.
std::string htmlEscape(std::string_view text);

// The library page at "/": every recording with its state and share link.
std::string libraryPage(const nlohmann::json& recordings);

// The share page at "v/<id>": the screen video, with the camera video and the
// microphone audio beside it when present, kept in step with the screen video.
std::string sharePage(const nlohmann::json& recording);

}  // namespace tessera::webapp
