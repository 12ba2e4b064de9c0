#include "camera/effects/PictureCache.h"

#include "camera/effects/PictureFile.h"

namespace tessera::effects {

std::optional<cv::Mat> PictureCache::load(const std::optional<std::string>& path) {
    if (!path || path->empty()) {
        return std::nullopt;
    }
    if (const auto found = pictures_.find(*path); found != pictures_.end()) {
        return found->second;
    }
    auto decoded = decodePictureFile(*path);
    if (!decoded) {
        return std::nullopt;
    }
    const cv::Mat picture = *decoded;
    if (pictures_.size() >= kCapacity) {
        pictures_.clear();
    }
    pictures_.emplace(*path, picture);
    return picture;
}

}  // namespace tessera::effects
