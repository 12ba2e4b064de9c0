#include "Mp4Layout.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tessera::webapp {
namespace {

uint64_t bigEndian(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

bool readAt(int fd, unsigned char* buf, size_t size, int64_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buf + done, size - done, offset + static_cast<int64_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool isBoxType(const unsigned char* p) {
    return std::all_of(p, p + 4, [](unsigned char c) { return c >= 0x20 && c < 0x7f; });
}

}  // namespace

bool Mp4Layout::advance(int fd, int64_t fileSize) {
    while (problem.empty() && walkedBytes + 8 <= fileSize) {
        const int64_t at = walkedBytes;
        unsigned char header[16];
        const auto headerRead = static_cast<size_t>(std::min<int64_t>(16, fileSize - at));
        if (!readAt(fd, header, headerRead, at)) {
            return false;
        }
        uint64_t size = bigEndian(header, 4);
        int64_t headerSize = 8;
        if (size == 1) {
            if (headerRead < 16) {
                return true;  // the 64-bit size is still to come
            }
            size = bigEndian(header + 8, 8);
            headerSize = 16;
        }
        // A box of size 0 runs to the end of the file, which a growing file does not
        // have: the recorder's muxers never write one.
        if (!isBoxType(header + 4) || size < static_cast<uint64_t>(headerSize) ||
            size > static_cast<uint64_t>(INT64_MAX - at)) {
            problem = "bytes at offset " + std::to_string(at) + " are not an MP4 box";
            return true;
        }
        if (at + static_cast<int64_t>(size) > fileSize) {
            return true;  // not whole yet
        }
        const std::string type(reinterpret_cast<const char*>(header + 4), 4);
        const int64_t end = at + static_cast<int64_t>(size);
        if (boxes == 0) {
            startsWithFtyp = type == "ftyp";
        }
        if (type == "moov") {
            moovEnd = end;
        } else if (type == "moof") {
            // moof: header, then mfhd: header, version and flags, sequence number.
            unsigned char mfhd[24];
            if (size >= 24 && !readAt(fd, mfhd, sizeof mfhd, at)) {
                return false;
            }
            const bool numbered = size >= 24 && std::equal(mfhd + 12, mfhd + 16, "mfhd");
            const auto sequence = numbered ? static_cast<uint32_t>(bigEndian(mfhd + 20, 4)) : 0;
            fragmentsWithoutData += awaitingMdat ? 1 : 0;
            if (fragments == 0) {
                firstFragmentStart = at;
            } else if (numbered && sequence > lastSequence) {
                missingFragments += sequence - lastSequence - 1;
            } else if (numbered) {
                ++misplacedFragments;
            }
            lastSequence = std::max(lastSequence, sequence);
            ++fragments;
            lastFragmentStart = at;
            awaitingMdat = true;
        } else if (type == "mdat" && fragments > 0) {
            if (!awaitingMdat) {
                ++mdatsOutsideFragments;
            } else if (fragments == 1) {
                firstFragmentEnd = end;
            }
            awaitingMdat = false;
        }
        ++boxes;
        walkedBytes = end;
    }
    return true;
}

nlohmann::json Mp4Layout::toJson() const {
    return {{"walkedBytes", walkedBytes},
            {"problem", problem},
            {"boxes", boxes},
            {"startsWithFtyp", startsWithFtyp},
            {"moovEnd", moovEnd},
            {"fragments", fragments},
            {"firstFragmentStart", firstFragmentStart},
            {"firstFragmentEnd", firstFragmentEnd},
            {"lastFragmentStart", lastFragmentStart},
            {"awaitingMdat", awaitingMdat},
            {"fragmentsWithoutData", fragmentsWithoutData},
            {"mdatsOutsideFragments", mdatsOutsideFragments},
            {"lastSequence", lastSequence},
            {"missingFragments", missingFragments},
            {"misplacedFragments", misplacedFragments}};
}

Mp4Layout Mp4Layout::fromJson(const nlohmann::json& json) {
    Mp4Layout l;
    l.walkedBytes = json.value("walkedBytes", int64_t{0});
    l.problem = json.value("problem", "");
    l.boxes = json.value("boxes", int64_t{0});
    l.startsWithFtyp = json.value("startsWithFtyp", false);
    l.moovEnd = json.value("moovEnd", int64_t{0});
    l.fragments = json.value("fragments", int64_t{0});
    l.firstFragmentStart = json.value("firstFragmentStart", int64_t{0});
    l.firstFragmentEnd = json.value("firstFragmentEnd", int64_t{0});
    l.lastFragmentStart = json.value("lastFragmentStart", int64_t{0});
    l.awaitingMdat = json.value("awaitingMdat", false);
    l.fragmentsWithoutData = json.value("fragmentsWithoutData", int64_t{0});
    l.mdatsOutsideFragments = json.value("mdatsOutsideFragments", int64_t{0});
    l.lastSequence = json.value("lastSequence", uint32_t{0});
    l.missingFragments = json.value("missingFragments", int64_t{0});
    l.misplacedFragments = json.value("misplacedFragments", int64_t{0});
    return l;
}

}  // namespace tessera::webapp
