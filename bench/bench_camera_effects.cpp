// Runs the camera effects on 1280x720 BGRA frames at 30 fps frame times (a person
// photo moving slowly across a plain frame) and prints milliseconds per frame for
// each effect alone and for blur + automatic lighting + smoothing + keeping the face
// centred together, with OpenCV limited to one and to two threads. Wall time per
// frame, and the process's CPU time per frame (what other programs on a loaded
// machine do not inflate).
//
//   bench_camera_effects [--frames N]

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "camera/effects/CameraEffectsProcessor.h"
#include "camera/effects/ModelDirectory.h"

using namespace tessera;

namespace {

struct Configuration {
    const char* name;
    CameraEffectSettings settings;
};

std::vector<Configuration> configurations(const std::string& picture) {
    std::vector<Configuration> list;
    CameraEffectSettings s;
    s.background = CameraBackgroundMode::blur;
    list.push_back({"background blur", s});
    s.background = CameraBackgroundMode::color;
    list.push_back({"background colour", s});
    s.background = CameraBackgroundMode::image;
    s.backgroundImagePath = picture;
    list.push_back({"background picture", s});
    s = {};
    s.autoLighting = true;
    list.push_back({"auto lighting", s});
    s = {};
    s.faceSmoothing = 0.6;
    list.push_back({"face smoothing", s});
    s = {};
    s.keepFaceCentered = true;
    list.push_back({"keep face centred", s});
    s = {};
    s.background = CameraBackgroundMode::blur;
    s.autoLighting = true;
    s.faceSmoothing = 0.6;
    s.keepFaceCentered = true;
    list.push_back({"all together", s});
    return list;
}

double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

cv::Mat frameAt(const cv::Mat& person, int index) {
    cv::Mat frame(720, 1280, CV_8UC4, cv::Scalar(90, 110, 120, 255));
    const int x = 200 + (index * 2) % 500;
    person.copyTo(frame(cv::Rect(x, 104, person.cols, person.rows)));
    return frame;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 300;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0) {
            frames = std::max(10, std::atoi(argv[i + 1]));
        }
    }
    const std::filesystem::path photos = TESSERA_BENCH_PHOTO_DIR;
    const cv::Mat bgr = cv::imread((photos / "astronaut.png").string());
    if (bgr.empty()) {
        std::fprintf(stderr, "astronaut.png missing in %s: run scripts/setup.sh\n", photos.c_str());
        return 1;
    }
    cv::Mat person;
    cv::cvtColor(bgr, person, cv::COLOR_BGR2BGRA);
    std::vector<cv::Mat> inputs;
    for (int i = 0; i < frames; ++i) {
        inputs.push_back(frameAt(person, i));
    }
    const std::string picture = (photos / "messi5.jpg").string();
    std::printf("1280x720, %d frames per run; ms per frame\n", frames);
    std::printf("%-20s %7s %7s %7s %7s %7s %7s\n", "effect", "threads", "mean", "median", "p95",
                "max", "cpu");
    for (const int threads : {1, 2}) {
        cv::setNumThreads(threads);
        for (const Configuration& c : configurations(picture)) {
            CameraEffectsProcessor processor(defaultModelDirectory());
            // Warm-up: models load on first use.
            processor.process(inputs[0], c.settings, 0);
            std::vector<double> ms;
            const double cpuStart = processCpuMs();
            for (int i = 0; i < frames; ++i) {
                const auto start = std::chrono::steady_clock::now();
                const auto out = processor.process(inputs[static_cast<std::size_t>(i)], c.settings,
                                                   (i + 1) / 30.0);
                const auto end = std::chrono::steady_clock::now();
                if (!out) {
                    std::fprintf(stderr, "%s gave no frame\n", c.name);
                    return 1;
                }
                ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
            }
            const double cpuPerFrame = (processCpuMs() - cpuStart) / frames;
            double sum = 0;
            for (const double v : ms) {
                sum += v;
            }
            std::sort(ms.begin(), ms.end());
            std::printf("%-20s %7d %7.2f %7.2f %7.2f %7.2f %7.2f\n", c.name, threads, sum / frames,
                        ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back(), cpuPerFrame);
        }
    }
    return 0;
}
