#include "camera/CameraEffectsAdapter.h"

#include <opencv2/core/mat.hpp>

#include "camera/effects/CameraEffectsProcessor.h"

namespace tessera {

CameraEffectsAdapter::CameraEffectsAdapter(std::filesystem::path modelDirectory)
    : processor_(std::make_unique<CameraEffectsProcessor>(std::move(modelDirectory))) {}

CameraEffectsAdapter::~CameraEffectsAdapter() = default;

std::shared_ptr<const PixelBuffer> CameraEffectsAdapter::process(
    const std::shared_ptr<const PixelBuffer>& frame, const CameraEffectSettings& settings,
    double hostSeconds) {
    // A header over the camera's pixels: the processor only reads them.
    const cv::Mat input(frame->height, frame->width, CV_8UC4, const_cast<uint8_t*>(frame->data()),
                        static_cast<size_t>(frame->bytesPerRow));
    std::optional<cv::Mat> output = processor_->process(input, settings, hostSeconds);
    if (!output || output->empty() || output->type() != CV_8UC4) {
        return nullptr;
    }
    auto storage = std::make_shared<cv::Mat>(std::move(*output));
    auto pixels = PixelBuffer::wrap(storage->cols, storage->rows, static_cast<int>(storage->step),
                                    storage->data, storage);
    pixels->alphaIsPadding = frame->alphaIsPadding;
    return pixels;
}

}  // namespace tessera
