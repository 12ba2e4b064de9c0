// Uploads 10 seconds and 10 minutes of screen video to the reference web app over
// loopback, 2-second chunks of about 2 MB each (8 Mbit/s), and prints how long the
// uploads and the finalize take.
//
//   bench_webapp_finalize [--minutes 10] [--chunk-seconds 2]
//
// The chunks are one real 1080p fragmented MP4 encoded once by the ffmpeg tool
// (noisy test pattern at 8 Mbit/s, a key frame every 2 s) whose fragments are
// repeated with their sequence numbers and decode times rewritten, so that the
// server receives a long, valid and decodable stream without encoding ten minutes.
#include <httplib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/FragmentedMp4.h"
#include "support/TempDir.h"
#include "support/WebAppProcess.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int kFps = 30;

uint32_t readU32(const std::string& s, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data() + at);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void writeU32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        s[at + i] = static_cast<char>((v >> (24 - 8 * i)) & 0xff);
    }
}

// Calls visit(type, offset, size) for each box in [begin, end) of `s`, descending
// into moof and traf.
template <typename Visit>
void walkBoxes(const std::string& s, size_t begin, size_t end, const Visit& visit) {
    for (size_t at = begin; at + 8 <= end;) {
        const uint32_t size = readU32(s, at);
        const std::string type = s.substr(at + 4, 4);
        if (size < 8 || at + size > end) {
            throw std::runtime_error("malformed box " + type);
        }
        visit(type, at, size);
        if (type == "moof" || type == "traf") {
            walkBoxes(s, at + 8, at + size, visit);
        }
        at += size;
    }
}

// A copy of media segment `fragment` that claims to be fragment number `sequence`
// starting at `decodeTime` (in the track's time scale).
std::string renumbered(std::string fragment, uint32_t sequence, uint64_t decodeTime) {
    walkBoxes(fragment, 0, fragment.size(), [&](const std::string& type, size_t at, uint32_t) {
        if (type == "mfhd") {
            writeU32(fragment, at + 12, sequence);
        } else if (type == "tfdt") {
            if (fragment[at + 8] == 1) {
                writeU32(fragment, at + 12, static_cast<uint32_t>(decodeTime >> 32));
                writeU32(fragment, at + 16, static_cast<uint32_t>(decodeTime));
            } else {
                writeU32(fragment, at + 12, static_cast<uint32_t>(decodeTime));
            }
        }
    });
    return fragment;
}

uint64_t decodeTimeOf(const std::string& fragment) {
    uint64_t t = 0;
    walkBoxes(fragment, 0, fragment.size(), [&](const std::string& type, size_t at, uint32_t) {
        if (type == "tfdt") {
            t = fragment[at + 8] == 1
                    ? (uint64_t{readU32(fragment, at + 12)} << 32) | readU32(fragment, at + 16)
                    : readU32(fragment, at + 12);
        }
    });
    return t;
}

struct Source {
    std::string init;
    std::vector<std::string> fragments;  // chunkSeconds each
    uint64_t fragmentTicks = 0;          // decode-time step from one fragment to the next
};

Source encodeSource(const fs::path& dir, int chunkSeconds) {
    const fs::path out = dir / "source.mp4";
    const int seconds = 3 * chunkSeconds;
    const std::string cmd =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
        "testsrc2=size=1920x1080:rate=30,noise=alls=12:allf=t -t " +
        std::to_string(seconds) +
        " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -b:v 8M -maxrate 8M -bufsize 8M -g " +
        std::to_string(chunkSeconds * kFps) +
        " -movflags frag_keyframe+empty_moov+default_base_moof -f mp4 '" + out.string() + "'";
    if (std::system(cmd.c_str()) != 0) {
        throw std::runtime_error("ffmpeg failed: " + cmd);
    }
    std::ifstream in(out, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    auto segments = tessera::testing::splitAtMoof(bytes.str());
    if (segments.size() < 3) {
        throw std::runtime_error("the source has too few fragments");
    }
    Source source;
    source.init = segments[0];
    source.fragments.assign(segments.begin() + 1, segments.end());
    source.fragmentTicks = decodeTimeOf(source.fragments[1]) - decodeTimeOf(source.fragments[0]);
    return source;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void runOnce(const tessera::testing::WebAppProcess& server, const Source& source,
             int recordingSeconds, int chunkSeconds) {
    httplib::Client client("127.0.0.1", server.port());
    client.set_read_timeout(600);
    auto created = client.Post("/api/recordings",
                               json{{"hasCamera", false},
                                    {"hasAudio", false},
                                    {"screenMime", "video/mp4;codecs=avc1"},
                                    {"width", 1920},
                                    {"height", 1080},
                                    {"source", "native"}}
                                   .dump(),
                               "application/json");
    if (!created || created->status != 201) {
        throw std::runtime_error("create failed");
    }
    const std::string id = json::parse(created->body).at("id");
    const std::string chunkPath = "/api/recordings/" + id + "/chunk?kind=screen";
    const int chunks = recordingSeconds / chunkSeconds;
    int64_t bytes = 0;
    const auto uploadStart = std::chrono::steady_clock::now();
    auto post = [&](const std::string& body) {
        bytes += static_cast<int64_t>(body.size());
        auto res = client.Post(chunkPath.c_str(), body, "application/octet-stream");
        if (!res || res->status != 200) {
            throw std::runtime_error("chunk upload failed");
        }
    };
    post(source.init);
    for (int i = 0; i < chunks; ++i) {
        const std::string& fragment = source.fragments[i % source.fragments.size()];
        post(renumbered(fragment, static_cast<uint32_t>(i + 1),
                        static_cast<uint64_t>(i) * source.fragmentTicks));
    }
    const double uploadSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - uploadStart).count();
    const std::string loadBefore = loadAverage();
    const auto finalizeStart = std::chrono::steady_clock::now();
    auto res = client.Post(("/api/recordings/" + id + "/finalize").c_str(), "", "");
    const double finalizeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - finalizeStart).count();
    if (!res || res->status != 200) {
        throw std::runtime_error("finalize failed");
    }
    const json info = json::parse(res->body);
    std::printf(
        "%6d s  %4d chunks  %8.1f MB  upload %7.2f s (%6.1f MB/s)  finalize %8.1f ms  "
        "status %s  duration %.2f s  load %s\n",
        recordingSeconds, chunks + 1, bytes / 1e6, uploadSeconds, bytes / 1e6 / uploadSeconds,
        finalizeSeconds * 1000, info.value("status", "?").c_str(),
        info.value("durationSeconds", 0.0), loadBefore.c_str());
    std::fflush(stdout);
    client.Delete(("/api/recordings/" + id).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    int minutes = 10;
    int chunkSeconds = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--minutes") {
            minutes = std::atoi(argv[i + 1]);
        } else if (flag == "--chunk-seconds") {
            chunkSeconds = std::atoi(argv[i + 1]);
        }
    }
    try {
        tessera::testing::TempDir dir;
        const Source source = encodeSource(dir.path(), chunkSeconds);
        size_t mediaBytes = 0;
        for (const auto& f : source.fragments) {
            mediaBytes += f.size();
        }
        std::printf("source: %zu fragments, %.2f MB per %d s chunk\n", source.fragments.size(),
                    mediaBytes / 1e6 / source.fragments.size(), chunkSeconds);
        tessera::testing::WebAppProcess server;
        runOnce(server, source, 10, chunkSeconds);
        runOnce(server, source, minutes * 60, chunkSeconds);
        runOnce(server, source, 10, chunkSeconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_webapp_finalize: %s\n", e.what());
        return 1;
    }
    return 0;
}
