#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tessera::webapp {

struct MediaReport {
    bool ok = false;
    std::string error;  // readable reason when !ok
    double durationSeconds = 0;
    bool hasVideo = false;
    bool hasAudio = false;
};

// A half-open range [begin, end) of bytes in a file.
struct ByteRange {
    int64_t begin = 0;
    int64_t end = 0;
};

// Reads the given ranges of `file`, in order, as if they were one file, demuxes every
// packet in them and decodes the first frames of the main stream (video, else audio)
// in the first range and again from the start of each later range, where the decoder
// starts afresh. For a fragmented MP4 the ranges are the initialization segment with
// the first fragment, and the last fragment: each fragment starts with a key frame and
// its decode times are absolute, so the duration (the extent of the main stream's
// packet timestamps) is that of the whole file while the cost does not grow with it.
MediaReport checkMediaRanges(const std::filesystem::path& file,
                             const std::vector<ByteRange>& ranges);

// For a file with a complete index (a plain MP4 or M4A): decodes its first frames,
// then seeks through the index to its last key frame and demuxes from there to the
// end. Reads the index, the start and the end of the file, not its whole length.
MediaReport checkMediaEnds(const std::filesystem::path& file);

}  // namespace tessera::webapp
