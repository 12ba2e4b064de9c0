#pragma once

#include <filesystem>
#include <string>

namespace tessera::webapp {

struct MediaReport {
    bool ok = false;
    std::string error;  // readable reason when !ok
    double durationSeconds = 0;
    bool hasVideo = false;
    bool hasAudio = false;
};

// Opens a media file with libavformat, demuxes every packet (which walks every
// fragment of a fragmented MP4) and decodes the first frames of its main stream.
// The duration is the extent of the main stream's packet timestamps. Decoding stops
// after a few frames so that finalizing a long recording stays cheap; a broken
// initialization segment or bitstream shows up in those frames already.
MediaReport checkMedia(const std::filesystem::path& file);

}  // namespace tessera::webapp
