#pragma once

#include <filesystem>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <optional>

#include "camera/CameraEffectSettings.h"

namespace tessera {

// True when the settings ask for any processing (the negation of isIdentity).
bool anyEffectOn(const CameraEffectSettings& settings);

// Turns camera frames into processed frames: profile picture, automatic lighting,
// skin smoothing on detected faces, background replacement behind the person and
// keeping the largest face framed, in that order. One per camera recorder; it keeps
// state across frames (face scan and light meter counters, exposure, crop window,
// person mask, picture cache). Models are loaded on first use.
//
// Thread: not thread-safe. All calls come from the camera's serial queue, one frame
// at a time.
class CameraEffectsProcessor {
  public:
    // `modelDirectory` holds the converted person-segmentation and face-detection
    // models (see defaultModelDirectory()). Missing models are not an error: the
    // effects that need them are skipped, with one logged warning.
    explicit CameraEffectsProcessor(std::filesystem::path modelDirectory);
    ~CameraEffectsProcessor();
    CameraEffectsProcessor(const CameraEffectsProcessor&) = delete;
    CameraEffectsProcessor& operator=(const CameraEffectsProcessor&) = delete;

    // One BGRA frame (CV_8UC4). Returns the processed frame, or nullopt when no effect is on
    // or processing is not possible (the caller then uses the camera's frame untouched).
    // Called on the camera's queue, one frame at a time; hostSeconds is the frame's host time.
    std::optional<cv::Mat> process(const cv::Mat& bgra, const CameraEffectSettings& settings,
                                   double hostSeconds);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tessera
