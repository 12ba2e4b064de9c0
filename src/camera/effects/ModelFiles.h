#pragma once

#include <filesystem>
#include <opencv2/dnn.hpp>
#include <string_view>

namespace tessera::effects {

// The log component of the camera effects.
inline constexpr std::string_view kComponent = "camera-effects";

// The ONNX model at `path` ready to run on the CPU, or an empty net when the file is
// missing or unreadable (logged when it exists but cannot be read).
cv::dnn::Net loadModel(const std::filesystem::path& path);

}  // namespace tessera::effects
