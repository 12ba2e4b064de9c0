#pragma once

#include <filesystem>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <string>

#include "camera/CameraEffectSettings.h"
#include "camera/effects/EffectGeometry.h"
#include "camera/effects/ImageOps.h"
#include "camera/effects/PersonSegmenter.h"
#include "camera/effects/PictureCache.h"

namespace tessera::effects {

// Replaces what lies behind the person: the lit frame blurred, a solid colour, or a
// picture scaled to fill (the colour when the picture cannot be loaded).
//
// The person mask is inferred on every other frame and reused in between; each new
// mask is eased toward over about 50 ms of frame time, so its edges do not flicker.
// Thread: one caller at a time.
class BackgroundReplacer {
  public:
    explicit BackgroundReplacer(std::filesystem::path modelDirectory);

    // `image` with its background replaced; `image` itself when segmentation is not
    // possible or gives no mask. `lit` is the frame after automatic lighting (the
    // source of the blurred background), `raw` the camera frame (what is segmented).
    cv::Mat apply(const cv::Mat& image, const cv::Mat& lit, const cv::Mat& raw,
                  const CameraEffectSettings& settings, double hostSeconds, PictureCache& pictures);

    // The background for `settings` in a frame of `lit`'s size.
    cv::Mat backgroundImage(const CameraEffectSettings& settings, const cv::Mat& lit,
                            PictureCache& pictures);

  private:
    // The 8-bit person mask at the frame's size, or nothing.
    std::optional<cv::Mat> personMask(const cv::Mat& raw, double hostSeconds);

    std::filesystem::path modelDirectory_;
    std::optional<PersonSegmenter> segmenter_;  // loaded on first use
    FrameCadence inference_{1};
    cv::Mat probability_;  // eased person probability at the model's size; empty: none
    cv::Size probabilityFrameSize_;
    double probabilitySeconds_ = 0;
    cv::Mat mask_;  // probability_ at the frame's size, 8-bit
    struct ScaledPicture {
        std::string path;
        cv::Mat scaled;
    };
    std::optional<ScaledPicture> scaledPicture_;
    ReusableFrame blurred_;
    ScratchFrames blurScratch_;
    ReusableFrame blended_;
    cv::Mat solid_;  // the last solid background
    RgbaColor solidColor_;
};

}  // namespace tessera::effects
