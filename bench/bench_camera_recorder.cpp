// CPU of the camera path (capture hand-off, mirroring, preview hand-over and
// the camera's own 720p writer) while a 1080p30 screen writer runs beside it.
// Runs the screen writer alone, then with the camera at 30 fps, each in real
// time, and prints process CPU per second of each and the difference.
//
//   bench_camera_recorder [--seconds N] [--mirrored]

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "media/CameraRecorder.h"
#include "media/SegmentWriter.h"
#include "support/ManualExecutor.h"
#include "support/SyntheticCapture.h"
#include "unit/media/camera/ScriptedCameraSource.h"

using namespace tessera;
using Clock = std::chrono::steady_clock;

namespace {

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

struct Counts {
    int64_t screenOffered = 0;
    int64_t screenDropped = 0;
    int64_t previews = 0;
    CameraRecorderStats camera;
};

// One real-time run; the camera runs when `withCamera`.
Counts run(double seconds, bool withCamera, bool mirrored, double& cpuPerSecond) {
    const testing::SyntheticFrames screenFrames(1920, 1080, 30);
    std::vector<std::shared_ptr<const PixelBuffer>> cameraFrames;
    for (int i = 0; i < 30; ++i) {
        cameraFrames.push_back(testing::cameraPicture(1280, 720, i));
    }
    testing::SegmentCollector screenSegments;
    testing::SegmentCollector cameraSegments;
    SegmentWriter screen(SegmentWriter::Configuration{1920, 1080, 30, 8'000'000, false, 2},
                         screenSegments.handler());
    screen.start();
    ManualExecutor mainThread;
    SystemHostClock clock;
    testing::ScriptedCameraSource cameras;
    CameraRecorder camera(cameras, nullptr, mainThread, clock);
    Counts counts;
    camera.onPreviewFrame = [&](const VideoSample&) {
        ++counts.previews;
    };
    if (withCamera) {
        camera.startPreview("", mirrored);
        camera.beginRecording(cameraSegments.handler());
    }

    const double cpuStart = processCpuSeconds();
    const auto start = Clock::now();
    std::atomic<bool> done = false;
    std::jthread feeder([&] {
        for (int64_t i = 0; i < static_cast<int64_t>(seconds * 30); ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1'000'000 / 30));
            VideoSample frame;
            frame.pixels = screenFrames.frame(i);
            frame.timing = SampleTiming{MediaTime(1, 30), MediaTime(i, 30), MediaTime::invalid()};
            ++counts.screenOffered;
            if (!screen.videoInput().isReadyForMoreMediaData() ||
                !screen.videoInput().append(frame)) {
                ++counts.screenDropped;
            }
            if (withCamera) {
                cameras.last->deliver(cameraFrames[i % 30], hostTimeNow());
            }
        }
        done = true;
    });
    // The main thread shows previews while the run lasts.
    while (!done) {
        mainThread.runUntil([&] { return done.load(); }, std::chrono::milliseconds(50));
    }
    feeder.join();
    mainThread.runUntilIdle();
    // Named: the coroutine refers to the lambda's captures while it runs.
    const auto end = [&]() -> Task<void> {
        co_await camera.finishRecording();
        co_await camera.stopSession();
    };
    auto finished = spawn(mainThread, end());
    mainThread.runUntil([&] { return finished.isDone(); }, std::chrono::seconds(60));
    std::promise<void> screenDone;
    screen.finish([&] { screenDone.set_value(); });
    screenDone.get_future().wait();
    cpuPerSecond = (processCpuSeconds() - cpuStart) /
                   std::chrono::duration<double>(Clock::now() - start).count();
    counts.camera = camera.stats();
    return counts;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    bool mirrored = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::stod(argv[++i]);
        } else if (std::strcmp(argv[i], "--mirrored") == 0) {
            mirrored = true;
        }
    }
    double screenOnly = 0;
    double withCamera = 0;
    const Counts alone = run(seconds, false, mirrored, screenOnly);
    const Counts both = run(seconds, true, mirrored, withCamera);
    std::printf("screen 1080p30 alone:        %.2f cores, %lld of %lld frames dropped\n",
                screenOnly, static_cast<long long>(alone.screenDropped),
                static_cast<long long>(alone.screenOffered));
    std::printf("with camera 720p30%s: %.2f cores, %lld of %lld screen frames dropped\n",
                mirrored ? " mirrored" : "         ", withCamera,
                static_cast<long long>(both.screenDropped),
                static_cast<long long>(both.screenOffered));
    std::printf("camera path:                 %.2f cores\n", withCamera - screenOnly);
    std::printf(
        "camera frames: %lld received, %lld dropped at the queue, %lld recorded, "
        "%lld not recorded, %lld previews shown\n",
        static_cast<long long>(both.camera.framesReceived),
        static_cast<long long>(both.camera.framesDroppedLate),
        static_cast<long long>(both.camera.framesRecorded),
        static_cast<long long>(both.camera.framesNotRecorded),
        static_cast<long long>(both.previews));
    return 0;
}
