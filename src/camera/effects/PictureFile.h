#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <string>

namespace tessera::effects {

// Decodes a still picture file (JPEG, PNG, WebP, BMP, TIFF: whatever FFmpeg
// reads) into an upright BGRA image (a JPEG's EXIF orientation applied); none
// when the file cannot be read or decoded. The app decodes with FFmpeg, which
// it links anyway, rather than with OpenCV's image codecs, whose Debian build
// pulls in a hundred more libraries (GDAL, GDCM, ...) that cost start-up time
// and memory.
std::optional<cv::Mat> decodePictureFile(const std::string& path);

}  // namespace tessera::effects
