#pragma once

// Reads media back with libavformat/libavcodec for assertions: what the file
// says about its streams, and what actually decodes.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessera::testing {

struct VideoProbe {
    std::string codec;
    int profile = -1;
    int colorPrimaries = -1;
    int colorTransfer = -1;
    int colorSpace = -1;
    int width = 0;
    int height = 0;
    int64_t decodedFrames = 0;
    // First presentation time and end of the last frame, in seconds.
    double startSeconds = 0;
    double endSeconds = 0;
    // Luma of the first decoded frame at (x, y) and its counter value.
    std::vector<int> counters;
    // Per decoded frame, in presentation order: its time in seconds and the
    // luma at the centre of the picture.
    std::vector<double> frameSeconds;
    std::vector<int> centreLuma;
};

struct AudioProbe {
    std::string codec;
    int sampleRate = 0;
    int channels = 0;
    int profile = -1;
    double startSeconds = 0;
    double endSeconds = 0;
    // Root mean square of the decoded left channel per 100 ms, from time zero.
    std::vector<double> rmsPerTenth;
    // The largest magnitude of the left channel per millisecond, from time zero.
    std::vector<float> peakPerMillisecond;
};

struct MediaProbe {
    std::optional<VideoProbe> video;
    std::optional<AudioProbe> audio;
    // Luma at the centre of the first decoded frame.
    int firstFrameCentreLuma = -1;
};

// One track's part of a media segment (moof), in the track's timescale.
struct TrackFragment {
    uint32_t trackId = 0;
    uint64_t baseDecodeTime = 0;
    uint64_t duration = 0;
    uint32_t samples = 0;
};

// Reads the track fragments of one media segment from its boxes.
std::vector<TrackFragment> trackFragments(const std::vector<uint8_t>& segment);

// Throws std::runtime_error when the file cannot be opened or decoded.
MediaProbe probeFile(const std::filesystem::path& path);

// Writes bytes to a fresh file under the temporary directory and probes it.
MediaProbe probeBytes(const std::vector<uint8_t>& bytes);

std::filesystem::path makeTempDirectory();

// The times at which a signal rises above `high` after staying below `low`
// for `quietSteps` steps; `values` has one entry per step of `stepSeconds`. The
// rise may pass through values between the two for up to `rampSteps` steps:
// an encoded beep fades in over a millisecond or two, wherever its start falls.
template <class T>
std::vector<double> onsets(const std::vector<T>& values, double stepSeconds, double low,
                           double high, int quietSteps, const std::vector<double>* times = nullptr,
                           int rampSteps = 0) {
    std::vector<double> found;
    int quiet = 0;
    std::optional<size_t> riseStart;
    int quietBeforeRise = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i] < low) {
            ++quiet;
            riseStart.reset();
            continue;
        }
        if (!riseStart) {
            riseStart = i;
            quietBeforeRise = quiet;
        }
        quiet = 0;
        if (values[i] >= high) {
            if (quietBeforeRise >= quietSteps && i - *riseStart <= static_cast<size_t>(rampSteps)) {
                found.push_back(times ? (*times)[i] : static_cast<double>(i) * stepSeconds);
            }
            quietBeforeRise = 0;  // one onset per rise
        }
    }
    return found;
}

}  // namespace tessera::testing
