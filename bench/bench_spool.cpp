// The cost of the local copy.
//
//   bench_spool [work folder]
//
// 1. Spool writes at 1080p30 rates: ten minutes of 2-second segments at the
//    automatic 1080p bit rate (8 Mbit/s video + 160 kbit/s audio) and at "high"
//    (12 Mbit/s), appended and fsynced as fast as the disk takes them. Prints the
//    CPU time per recorded second (the extra CPU while recording, as a share of
//    one core), the write rate a recording needs and the rate the disk sustained,
//    and the slowest segment.
// 2. Recovery of a ten-minute session: an FFmpeg-made fragmented MP4 of ten
//    minutes (2-second fragments) left in a spool folder, saved by
//    recoverAbandonedSessions; prints its size and the wall time.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "capture/spool/LocalCopy.h"
#include "capture/spool/SessionSpool.h"
#include "support/EventLoop.h"

using namespace tessera;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void spoolWrites(const fs::path& work, const char* name, double bitsPerSecond) {
    constexpr int kSegments = 300;  // ten minutes of 2-second segments
    const auto segmentBytes = static_cast<std::size_t>(bitsPerSecond * 2 / 8);
    auto segment = std::make_shared<const ByteBuffer>(segmentBytes, std::uint8_t{0x5a});
    EventLoop loop;
    auto spool = SessionSpool::create(work / "sessions", {std::string("bench-") + name, 0});
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    double slowest = 0;
    for (int i = 0; i < kSegments; ++i) {
        const auto before = Clock::now();
        spool->append("screen", segment);
        auto handle = spawn(loop, spool->flush());
        loop.runUntil([&] { return handle.isDone(); }, seconds(60));
        slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - before).count());
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    const double recorded = kSegments * 2.0;
    std::printf(
        "%-8s %5.2f MB per segment: CPU %.3f s for %.0f s recorded = %.2f%% of a core; "
        "needs %.2f MB/s, disk took %.0f MB/s; slowest segment %.1f ms\n",
        name, static_cast<double>(segmentBytes) / 1e6, cpu, recorded, 100 * cpu / recorded,
        bitsPerSecond / 8 / 1e6, static_cast<double>(segmentBytes) * kSegments / wall / 1e6,
        slowest * 1000);
    auto discarding = spawn(loop, spool->discard());
    loop.runUntil([&] { return discarding.isDone(); }, seconds(60));
}

void recovery(const fs::path& work) {
    const LocalCopyFolders folders{work / "sessions", work / "Videos"};
    { auto spool = SessionSpool::create(folders.sessions, {"ten-minutes", 1'700'000'000}); }
    const fs::path file = folders.sessions / "ten-minutes" / "screen.mp4";
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=640x360:rate=30 "
        "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 600 "
        "-c:v mpeg4 -b:v 8M -g 60 -c:a aac -b:a 160k "
        "-movflags frag_keyframe+empty_moov+default_base_moof -f mp4 '" +
        file.string() + "'";
    if (std::system(command.c_str()) != 0) {
        std::printf("ffmpeg failed: %s\n", command.c_str());
        return;
    }
    const auto bytes = fs::file_size(file);
    const auto start = Clock::now();
    const auto recovered = recoverAbandonedSessions(folders);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (recovered.empty() || recovered[0].files.empty()) {
        std::printf("recovery saved nothing\n");
        return;
    }
    std::printf("recovery of a 10-minute session (%.0f MB, %.1f s of media): %.2f s wall\n",
                static_cast<double>(bytes) / 1e6, recovered[0].files[0].durationSeconds, wall);
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path work =
        argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "tessera-bench-spool";
    fs::remove_all(work);
    fs::create_directories(work);
    spoolWrites(work, "auto", 8'160'000);
    spoolWrites(work, "high", 12'160'000);
    recovery(work);
    fs::remove_all(work);
}
