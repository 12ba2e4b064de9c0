#include "platform/pulse/PulseMicLevelInput.h"

#include <cstring>

#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera {

PulseMicLevelInput::PulseMicLevelInput(std::optional<std::string> deviceID)
    : deviceID_(std::move(deviceID)) {}

PulseMicLevelInput::~PulseMicLevelInput() {
    stop();
}

bool PulseMicLevelInput::start(OnBlock onBlock) {
    if (capture_) {
        return true;
    }
    PulseAudioCapture::Callbacks callbacks;
    callbacks.onSamples = [this, onBlock = std::move(onBlock)](AudioSample sample) {
        const auto channels = static_cast<size_t>(PulseAudioCapture::kChannels);
        const auto frames = static_cast<size_t>(sample.frameCount);
        firstChannel_.resize(frames);
        const auto* bytes = sample.payload->data();
        for (size_t i = 0; i < frames; ++i) {
            std::memcpy(&firstChannel_[i], bytes + (i * channels) * sizeof(float), sizeof(float));
        }
        onBlock(firstChannel_.data(), frames);
    };
    // A device that goes away just ends the blocks; the meter shows no level.
    auto capture = std::make_unique<PulseAudioCapture>(PulseCaptureSource::microphone(deviceID_),
                                                       clock_, std::move(callbacks), kBlockFrames);
    try {
        capture->start();
    } catch (const RecorderError&) {
        // No server or no such device: the meter stays idle without a message
        // to the user.
        logging::handled("pulse", "the level meter has no input", std::current_exception(),
                         logging::Level::info);
        return false;
    }
    capture_ = std::move(capture);
    return true;
}

void PulseMicLevelInput::stop() {
    if (capture_) {
        // A meter needs no tail of audio; waiting for it would hold up the
        // caller (the user interface, as a recording starts).
        capture_->stopNow();
        capture_.reset();
    }
}

std::function<std::unique_ptr<MicLevelInput>()> PulseMicLevelInput::factory(
    std::function<std::optional<std::string>()> selectedDeviceID) {
    return [selectedDeviceID = std::move(selectedDeviceID)]() -> std::unique_ptr<MicLevelInput> {
        return std::make_unique<PulseMicLevelInput>(selectedDeviceID ? selectedDeviceID()
                                                                     : std::nullopt);
    };
}

}  // namespace tessera
