#pragma once

#include <filesystem>
#include <memory>

#include "media/CameraRecorder.h"

namespace tessera {

class CameraEffectsProcessor;

// The camera recorder's effects step on the OpenCV effects processor: the
// camera's pixels are handed over without a copy, and a processed picture
// comes back as a pixel buffer that keeps its OpenCV storage alive. Camera
// queue only, like the processor.
class CameraEffectsAdapter final : public CameraFrameEffects {
  public:
    // `modelDirectory` holds the converted models (defaultModelDirectory()).
    explicit CameraEffectsAdapter(std::filesystem::path modelDirectory);
    ~CameraEffectsAdapter() override;

    std::shared_ptr<const PixelBuffer> process(const std::shared_ptr<const PixelBuffer>& frame,
                                               const CameraEffectSettings& settings,
                                               double hostSeconds) override;

  private:
    std::unique_ptr<CameraEffectsProcessor> processor_;
};

}  // namespace tessera
