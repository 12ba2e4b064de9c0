#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tessera::testing {

// Encodes `seconds` of a moving test pattern with the ffmpeg CLI into a fragmented
// MP4 (a fragment per second) and splits it into the pieces a segment writer
// delivers: the initialization segment first, then one media segment per moof.
// Throws std::runtime_error when ffmpeg fails.
std::vector<std::string> makeFragmentedMp4Segments(const std::filesystem::path& workDir,
                                                   double seconds, const std::string& size);

// Splits a fragmented MP4 at its moof boxes: everything before the first moof is the
// initialization segment, and each moof starts a new media segment.
std::vector<std::string> splitAtMoof(const std::string& file);

struct MediaFacts {
    bool opened = false;
    double videoSeconds = 0;  // extent of the video packets' timestamps
    int videoPackets = 0;
};

// Reads a media file back with libavformat.
MediaFacts readMedia(const std::filesystem::path& file);

}  // namespace tessera::testing
