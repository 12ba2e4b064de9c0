#pragma once

#include <filesystem>
#include <opencv2/core/mat.hpp>
#include <opencv2/dnn.hpp>
#include <optional>

namespace tessera::effects {

// Person segmentation with the MediaPipe selfie-segmentation models (converted to
// ONNX) on OpenCV's dnn module: the landscape model (256x144) for wide frames, the
// square one (256x256) for the others.
//
// Thread: one caller at a time.
class PersonSegmenter {
  public:
    explicit PersonSegmenter(const std::filesystem::path& modelDirectory);

    // False when no model could be loaded (one warning was logged).
    bool available() const { return !landscape_.empty() || !square_.empty(); }

    // The person probability (CV_32FC1, 0...1) at the model's resolution for a BGRA
    // frame, or nothing when no model is loaded or inference fails (logged).
    std::optional<cv::Mat> personProbability(const cv::Mat& bgra);

  private:
    cv::dnn::Net landscape_;
    cv::dnn::Net square_;
    bool lastFailed_ = false;
};

}  // namespace tessera::effects
