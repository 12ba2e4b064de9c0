#include "capture/RecordingSummary.h"

#include <cstdio>

#include "media/EncoderSettings.h"

namespace tessera {

std::string recordingSummary(const RecordingFigures& figures) {
    std::string line = "recording " + figures.recordingID + " " + figures.outcome + ": ";
    char buffer[160];
    if (figures.width > 0 && figures.height > 0) {
        std::snprintf(buffer, sizeof buffer, "%lldx%lld at %g fps, preset %s; ",
                      static_cast<long long>(figures.width), static_cast<long long>(figures.height),
                      figures.frameRate,
                      encoderSettingsFor(figures.width, figures.height).preset.c_str());
        line += buffer;
    }
    std::snprintf(buffer, sizeof buffer,
                  "frames captured %lld, written %lld, dropped %lld, repeated %lld; "
                  "audio buffers dropped %lld; ",
                  static_cast<long long>(figures.frames.framesCaptured),
                  static_cast<long long>(figures.frames.framesWritten),
                  static_cast<long long>(figures.frames.framesDropped),
                  static_cast<long long>(figures.frames.framesRepeated),
                  static_cast<long long>(figures.frames.audioBuffersDropped));
    line += buffer;

    UploadCounters total;
    std::string perKind;
    for (const auto& [kind, counters] : figures.uploads) {
        total.uploaded += counters.uploaded;
        total.retried += counters.retried;
        total.lost += counters.lost;
        total.bytesUploaded += counters.bytesUploaded;
        std::snprintf(buffer, sizeof buffer, "%s%s %llu/%llu/%llu", perKind.empty() ? "" : ", ",
                      kind.c_str(), static_cast<unsigned long long>(counters.uploaded),
                      static_cast<unsigned long long>(counters.retried),
                      static_cast<unsigned long long>(counters.lost));
        perKind += buffer;
    }
    std::snprintf(buffer, sizeof buffer, "segments uploaded %llu, retried %llu, lost %llu",
                  static_cast<unsigned long long>(total.uploaded),
                  static_cast<unsigned long long>(total.retried),
                  static_cast<unsigned long long>(total.lost));
    line += buffer;
    if (!perKind.empty()) {
        line += " (" + perKind + ")";
    }
    line += ", " + std::to_string(total.bytesUploaded) + " bytes";
    if (figures.stopToLinkSeconds) {
        std::snprintf(buffer, sizeof buffer, "; stop to link %.3f s", *figures.stopToLinkSeconds);
        line += buffer;
    }
    return line;
}

}  // namespace tessera
