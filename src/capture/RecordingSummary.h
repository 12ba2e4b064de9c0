#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "media/ScreenRecorder.h"
#include "server/SegmentUploader.h"

namespace tessera {

// The figures of one recording, gathered when its finalize has answered.
struct RecordingFigures {
    std::string recordingID;
    // "ready", "processing failed", "finalize failed".
    std::string outcome;
    std::int64_t width = 0;
    std::int64_t height = 0;
    double frameRate = 0;
    ScreenRecorderStats frames;
    std::map<std::string, UploadCounters> uploads;
    std::optional<double> stopToLinkSeconds;
};

// One log line: "recording <id> <outcome>: <w>x<h> at <fps> fps, preset <p>;
// frames captured N, written N, dropped N, repeated N; segments uploaded N,
// retried N, lost N (screen a/b/c, camera a/b/c), <bytes> bytes; stop to link
// <s> s".
std::string recordingSummary(const RecordingFigures& figures);

}  // namespace tessera
