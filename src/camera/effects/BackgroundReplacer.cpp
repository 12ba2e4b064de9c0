#include "camera/effects/BackgroundReplacer.h"

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "camera/effects/ImageOps.h"

namespace tessera::effects {
namespace {

// Time constant of the easing between successive person masks.
constexpr double kMaskSeconds = 0.05;
// Frames further apart than this start from the new mask alone.
constexpr double kMaskGapSeconds = 0.5;

}  // namespace

BackgroundReplacer::BackgroundReplacer(std::filesystem::path modelDirectory)
    : modelDirectory_(std::move(modelDirectory)) {}

std::optional<cv::Mat> BackgroundReplacer::personMask(const cv::Mat& raw, double hostSeconds) {
    if (!segmenter_) {
        segmenter_.emplace(modelDirectory_);
    }
    const bool infer = inference_.tick();
    const bool reusable = !probability_.empty() && probabilityFrameSize_ == raw.size();
    if (!infer && reusable) {
        return mask_;
    }
    const std::optional<cv::Mat> fresh = segmenter_->personProbability(raw);
    if (!fresh || fresh->empty()) {
        probability_.release();
        return std::nullopt;
    }
    const double elapsed = hostSeconds - probabilitySeconds_;
    if (reusable && probability_.size() == fresh->size() && elapsed > 0 &&
        elapsed < kMaskGapSeconds) {
        const double weight = 1 - std::exp(-elapsed / kMaskSeconds);
        cv::addWeighted(*fresh, weight, probability_, 1 - weight, 0, probability_);
    } else {
        probability_ = *fresh;
    }
    probabilityFrameSize_ = raw.size();
    probabilitySeconds_ = hostSeconds;
    cv::Mat small;
    probability_.convertTo(small, CV_8U, 255);
    cv::resize(small, mask_, raw.size(), 0, 0, cv::INTER_LINEAR);
    return mask_;
}

cv::Mat BackgroundReplacer::backgroundImage(const CameraEffectSettings& settings,
                                            const cv::Mat& lit, PictureCache& pictures) {
    switch (settings.background) {
        case CameraBackgroundMode::none:
            return lit;
        case CameraBackgroundMode::blur:
            return blurClamped(lit, backgroundBlurSigma(settings.blurStrength),
                               blurred_.take(lit.size(), lit.type()), &blurScratch_);
        case CameraBackgroundMode::color:
            break;
        case CameraBackgroundMode::image:
            if (const auto picture = pictures.load(settings.backgroundImagePath)) {
                const std::string& path = *settings.backgroundImagePath;
                if (!scaledPicture_ || scaledPicture_->path != path ||
                    scaledPicture_->scaled.size() != lit.size()) {
                    scaledPicture_ = ScaledPicture{path, scaleToFill(*picture, lit.size())};
                }
                return scaledPicture_->scaled;
            }
            break;
    }
    const RgbaColor wanted = color(settings.backgroundColor);
    if (solid_.size() != lit.size() || solidColor_ != wanted) {
        solid_ = solidImage(lit.size(), wanted);
        solidColor_ = wanted;
    }
    return solid_;
}

cv::Mat BackgroundReplacer::apply(const cv::Mat& image, const cv::Mat& lit, const cv::Mat& raw,
                                  const CameraEffectSettings& settings, double hostSeconds,
                                  PictureCache& pictures) {
    const std::optional<cv::Mat> mask = personMask(raw, hostSeconds);
    if (!mask) {
        return image;
    }
    const cv::Mat background = backgroundImage(settings, lit, pictures);
    return blendWithMask(image, background, *mask, blended_.take(image.size(), image.type()));
}

}  // namespace tessera::effects
