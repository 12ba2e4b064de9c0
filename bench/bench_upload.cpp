// Upload throughput and queue memory of the segment pipe against the reference web
// app over loopback.
//
//   bench_upload [segments]
//
// 1. Sustained throughput: `segments` (default 100) segments of 2 MB per kind, screen
//    and camera at once, through SegmentPipe, the libcurl transport and the web app
//    (which writes every chunk to its data folder).
//    Prints MB/s, CPU seconds per GB for this process and for the server, and the
//    uploader's counters per kind.
// 2. Memory while the server stalls: every chunk request is held for 8 s while
//    200 MB of segments are queued; prints the growth of resident memory.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "server/CurlTransport.h"
#include "server/SegmentUploader.h"
#include "support/EventLoop.h"
#include "support/WebAppProcess.h"

using namespace tessera;

namespace {

constexpr size_t kSegmentBytes = 2 * 1000 * 1000;

double cpuSecondsSelf() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double cpuSecondsOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {  // utime, stime
            ticks += std::stol(field);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double residentMB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

template <class T>
T run(EventLoop& loop, Task<T> task) {
    auto handle = spawn(loop, std::move(task));
    loop.runUntil([&] { return handle.isDone(); }, seconds(600));
    return handle.result();
}

std::string createRecording(EventLoop& loop, const APIClient& api) {
    const CreateRecordingRequest request{
        std::nullopt, true, false,   "video/mp4;codecs=avc1", "video/mp4;codecs=avc1",
        1920,         1080, "native"};
    return run(loop, api.createRecording(request)).id;
}

}  // namespace

int main(int argc, char** argv) {
    const int segments = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    ByteBuffer pattern(kSegmentBytes);
    std::mt19937 rng(7);
    for (auto& b : pattern) {
        b = static_cast<uint8_t>(rng());
    }

    testing::WebAppProcess webapp;
    EventLoop loop;
    auto transport = std::make_shared<CurlTransport>();
    const APIClient api(*Url::parse(webapp.baseUrl()), transport);

    {
        const std::string id = createRecording(loop, api);
        SegmentPipe pipe = SegmentPipe::start(loop, api, id, SegmentQueue{});
        // Queued before the clock starts: the drain tasks only run inside run(), so
        // the figures below cover the uploads alone, not the copies into the queue.
        for (int i = 0; i < segments; ++i) {
            pipe.screenContinuation->push(pattern);
            pipe.cameraContinuation->push(pattern);
        }
        const double cpuBefore = cpuSecondsSelf();
        const double serverCpuBefore = cpuSecondsOf(webapp.pid());
        const auto start = std::chrono::steady_clock::now();
        run(loop, pipe.closeAtStop());
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double gb = 2.0 * segments * kSegmentBytes / 1e9;
        std::printf("throughput: %d x 2 MB per kind (%.2f GB) in %.2f s = %.1f MB/s\n", segments,
                    gb, wall, gb * 1000 / wall);
        std::printf("client CPU: %.2f s per GB\n", (cpuSecondsSelf() - cpuBefore) / gb);
        std::printf("server CPU: %.2f s per GB\n",
                    (cpuSecondsOf(webapp.pid()) - serverCpuBefore) / gb);
        std::printf("failures: %s\n", pipe.uploader->failureSummary().value_or("none").c_str());
        for (const auto& [kind, c] : pipe.uploader->stats()) {
            std::printf("%s: %llu uploaded (%.1f MB), %llu retried, %llu lost\n", kind.c_str(),
                        static_cast<unsigned long long>(c.uploaded), c.bytesUploaded / 1e6,
                        static_cast<unsigned long long>(c.retried),
                        static_cast<unsigned long long>(c.lost));
        }
    }

    {
        const std::string id = createRecording(loop, api);
        webapp.addFault({{"route", "chunk"}, {"count", -1}, {"delayMs", 8000}});
        SegmentPipe pipe = SegmentPipe::start(loop, api, id, std::nullopt);
        loop.runUntil([] { return false; }, seconds(0.2));
        const double before = residentMB();
        const int queued = 100;  // 200 MB
        for (int i = 0; i < queued; ++i) {
            pipe.screenContinuation->push(pattern);
        }
        loop.runUntil([] { return false; }, seconds(1));
        const double after = residentMB();
        std::printf(
            "stalled server: %zu segments waiting, %.0f MB queued, resident memory "
            "%.0f MB -> %.0f MB (growth %.0f MB, %.2fx the queued bytes)\n",
            pipe.screenContinuation->size(), queued * kSegmentBytes / 1e6, before, after,
            after - before, (after - before) / (queued * kSegmentBytes / 1048576.0));
        pipe.closeAtCancel();
        loop.runUntil([&] { return pipe.screenUploadTask.isDone(); }, seconds(30));
    }
    transport.reset();
    return 0;
}
