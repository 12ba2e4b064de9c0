#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace tessera::webapp {

// What the server knows about the top-level MP4 boxes of a file that grows by
// appended chunks, learned a chunk at a time so that finalize never has to read
// the file again. A box is counted once it lies whole in the file; a box cut by a
// chunk boundary is read again, from its header, after the next append.
//
// For a fragmented MP4 (the recorder's screen and camera streams) the initialization
// segment is ftyp+moov and every later media segment is a moof (whose mfhd carries a
// sequence number that grows by one per fragment) followed by its mdat.
struct Mp4Layout {
    int64_t walkedBytes = 0;  // end of the last whole box counted
    std::string problem;      // the first malformed box; the walk stops there

    int64_t boxes = 0;
    bool startsWithFtyp = false;
    int64_t moovEnd = 0;  // end of the moov box; 0 when none was seen

    int64_t fragments = 0;  // moof boxes
    int64_t firstFragmentStart = 0;
    int64_t firstFragmentEnd = 0;  // end of the mdat after the first moof; 0 until seen
    int64_t lastFragmentStart = 0;
    bool awaitingMdat = false;          // the last box was a moof
    int64_t fragmentsWithoutData = 0;   // moof boxes not followed by an mdat
    int64_t mdatsOutsideFragments = 0;  // mdat boxes after the first moof that no moof precedes

    uint32_t lastSequence = 0;
    int64_t missingFragments = 0;    // sequence numbers skipped over
    int64_t misplacedFragments = 0;  // fragments whose number is not above the one before

    bool isFragmented() const { return fragments > 0; }

    // Walks the boxes that lie whole in the first `fileSize` bytes of the file open
    // at `fd` (read with pread) and are not counted yet. Reads only box headers and
    // the start of each moof. Returns false when a read fails (the layout is then
    // unchanged from the last whole box on, and can be advanced again).
    bool advance(int fd, int64_t fileSize);

    nlohmann::json toJson() const;
    static Mp4Layout fromJson(const nlohmann::json& json);
};

}  // namespace tessera::webapp
