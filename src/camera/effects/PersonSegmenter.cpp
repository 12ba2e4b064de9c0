#include "camera/effects/PersonSegmenter.h"

#include <exception>
#include <opencv2/imgproc.hpp>
#include <string>

#include "camera/effects/ModelFiles.h"
#include "support/Log.h"

namespace tessera::effects {
namespace {

constexpr double kLandscapeAspect = 1.5;

}  // namespace

PersonSegmenter::PersonSegmenter(const std::filesystem::path& modelDirectory)
    : landscape_(loadModel(modelDirectory / "selfie_segmentation_landscape.onnx")),
      square_(loadModel(modelDirectory / "selfie_segmentation.onnx")) {
    if (!available()) {
        logging::warning(kComponent, "no person-segmentation model in " + modelDirectory.string() +
                                         ": background effects are off");
    }
}

std::optional<cv::Mat> PersonSegmenter::personProbability(const cv::Mat& bgra) {
    const bool wide = static_cast<double>(bgra.cols) / bgra.rows >= kLandscapeAspect;
    cv::dnn::Net& net = (wide && !landscape_.empty()) || square_.empty() ? landscape_ : square_;
    if (net.empty()) {
        return std::nullopt;
    }
    const cv::Size input = &net == &landscape_ ? cv::Size(256, 144) : cv::Size(256, 256);
    try {
        cv::Mat small;
        cv::resize(bgra, small, input, 0, 0, cv::INTER_AREA);
        cv::cvtColor(small, small, cv::COLOR_BGRA2RGB);
        net.setInput(cv::dnn::blobFromImage(small, 1.0 / 255));
        const cv::Mat out = net.forward();
        lastFailed_ = false;
        // 1x144x256x1 in memory order is one 144x256 plane.
        return cv::Mat(input.height, input.width, CV_32FC1, const_cast<float*>(out.ptr<float>()))
            .clone();
    } catch (const cv::Exception&) {
        // One line per run of failures, not one per frame.
        if (!lastFailed_) {
            logging::handled(kComponent, "person segmentation", std::current_exception());
        }
        lastFailed_ = true;
        return std::nullopt;
    }
}

}  // namespace tessera::effects
