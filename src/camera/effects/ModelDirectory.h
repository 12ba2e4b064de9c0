#pragma once

#include <filesystem>

namespace tessera {

// Where the converted camera-effect models are: `<exe>/../share/tessera-recorder/models`
// when that folder exists (an installation), otherwise the build tree's model folder.
std::filesystem::path defaultModelDirectory();

}  // namespace tessera
