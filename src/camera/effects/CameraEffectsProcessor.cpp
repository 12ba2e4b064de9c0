#include "camera/effects/CameraEffectsProcessor.h"

#include <utility>

namespace tessera {

bool anyEffectOn(const CameraEffectSettings& settings) {
    return !settings.isIdentity();
}

CameraEffectsProcessor::CameraEffectsProcessor(std::filesystem::path modelDirectory)
    : modelDirectory_(std::move(modelDirectory)) {}

CameraEffectsProcessor::~CameraEffectsProcessor() = default;

std::optional<cv::Mat> CameraEffectsProcessor::process(const cv::Mat& /*bgra*/,
                                                       const CameraEffectSettings& /*settings*/,
                                                       double /*hostSeconds*/) {
    return std::nullopt;
}

}  // namespace tessera
