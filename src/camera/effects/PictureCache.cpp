#include "camera/effects/PictureCache.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace tessera::effects {

std::optional<cv::Mat> PictureCache::load(const std::optional<std::string>& path) {
    if (!path || path->empty()) {
        return std::nullopt;
    }
    if (const auto found = pictures_.find(*path); found != pictures_.end()) {
        return found->second;
    }
    const cv::Mat decoded = cv::imread(*path, cv::IMREAD_COLOR);
    if (decoded.empty()) {
        return std::nullopt;
    }
    cv::Mat picture;
    cv::cvtColor(decoded, picture, cv::COLOR_BGR2BGRA);
    if (pictures_.size() >= kCapacity) {
        pictures_.clear();
    }
    pictures_.emplace(*path, picture);
    return picture;
}

}  // namespace tessera::effects
