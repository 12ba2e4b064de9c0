#pragma once

#include <map>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <string>

namespace tessera::effects {

// Decoded background and profile pictures by path, at most five: the entry that
// would be the sixth empties the cache first. Failed decodes are not remembered,
// so a file that appears later is picked up on the next frame.
class PictureCache {
  public:
    static constexpr std::size_t kCapacity = 5;

    // The picture at `path` as BGRA, or nothing for an absent or empty path or a file
    // that cannot be decoded.
    std::optional<cv::Mat> load(const std::optional<std::string>& path);

    std::size_t size() const { return pictures_.size(); }

  private:
    std::map<std::string, cv::Mat> pictures_;
};

}  // namespace tessera::effects
