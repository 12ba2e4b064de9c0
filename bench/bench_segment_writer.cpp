// Feeds screen-like frames through SegmentWriter at 1920x1080, 2560x1440 and
// 3840x2160, in real time at 30 fps and as fast as the writer takes them, and
// encodes the same raw frames with the ffmpeg command-line tool using the same
// encoder settings for comparison. Prints encoded fps, CPU seconds per frame,
// frames dropped at 30 fps real time and segment sizes.
//
//   bench_segment_writer [--seconds N] [--fast-frames N] [--sizes 1080,1440,2160]

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/EncoderSettings.h"
#include "media/SegmentWriter.h"
#include "support/SyntheticCapture.h"

using namespace tessera;

namespace {

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double childCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct RunResult {
    int64_t offered = 0;
    int64_t encoded = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    std::vector<size_t> segmentSizes;
    std::vector<int64_t> droppedFrames;
};

VideoSample frameAt(const testing::SyntheticFrames& frames, int64_t index) {
    VideoSample sample;
    sample.pixels = frames.frame(index);
    sample.timing = SampleTiming{MediaTime(1, 30), MediaTime(index, 30), MediaTime::invalid()};
    sample.frameStatus = FrameStatus::complete;
    return sample;
}

RunResult runWriter(const testing::SyntheticFrames& frames, int width, int height, bool realTime,
                    int64_t frameCount) {
    RunResult result;
    std::mutex mutex;
    const int64_t bitrate = videoBitrate(width, height);
    SegmentWriter writer(SegmentWriter::Configuration{width, height, 30, bitrate, false, 2},
                         [&](std::vector<uint8_t> bytes) {
                             std::lock_guard lock(mutex);
                             result.segmentSizes.push_back(bytes.size());
                         });
    writer.start();
    const double cpu0 = processCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int64_t k = 0; k < frameCount; ++k) {
        if (realTime) {
            std::this_thread::sleep_until(start + std::chrono::nanoseconds(k * 1'000'000'000 / 30));
        } else {
            while (!writer.videoInput().isReadyForMoreMediaData()) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        ++result.offered;
        if (writer.videoInput().isReadyForMoreMediaData() &&
            writer.videoInput().append(frameAt(frames, k))) {
            ++result.encoded;
        } else {
            result.droppedFrames.push_back(k);
        }
    }
    std::promise<void> done;
    writer.finish([&done] { done.set_value(); });
    done.get_future().wait();
    result.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cpuSeconds = processCpuSeconds() - cpu0;
    return result;
}

// The ffmpeg tool on the same raw frames: BT.709 conversion, libx264 with the
// same preset, parameters, bit rate and no B-frames, fragmented MP4 to /dev/null.
double runFfmpegCpuPerFrame(const testing::SyntheticFrames& frames, int width, int height,
                            int64_t frameCount) {
    const VideoEncoderSettings s = encoderSettingsFor(width, height);
    std::string params = "forced-idr=1";
    if (!s.x264Params.empty()) {
        params += ":" + s.x264Params;
    }
    const std::string command =
        "ffmpeg -hide_banner -loglevel error -f rawvideo -pix_fmt bgra -s " +
        std::to_string(width) + "x" + std::to_string(height) +
        " -framerate 30 -i - -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p"
        " -c:v libx264 -preset " +
        s.preset + " -profile:v high -bf 0 -b:v " + std::to_string(videoBitrate(width, height)) +
        " -x264-params " + params +
        " -force_key_frames 'expr:gte(t,n_forced*2)'"
        " -f mp4 -movflags frag_custom+empty_moov+delay_moov+default_base_moof -y /dev/null";
    const double cpu0 = childCpuSeconds();
    FILE* pipe = popen(command.c_str(), "w");
    if (!pipe) {
        return -1;
    }
    for (int64_t k = 0; k < frameCount; ++k) {
        const PixelBuffer& p = *frames.frame(k);
        fwrite(p.data(), 1, p.sizeInBytes(), pipe);
    }
    if (pclose(pipe) != 0) {
        return -1;
    }
    return (childCpuSeconds() - cpu0) / static_cast<double>(frameCount);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    int64_t fastFrames = 90;
    std::vector<int> heights = {1080, 1440, 2160};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (flag == "--fast-frames") {
            fastFrames = std::atoll(argv[i + 1]);
        } else if (flag == "--sizes") {
            heights.clear();
            for (const char* p = argv[i + 1]; *p;) {
                heights.push_back(std::atoi(p));
                while (*p && *p != ',') {
                    ++p;
                }
                if (*p == ',') {
                    ++p;
                }
            }
        }
    }
    std::printf("%-10s %-10s %9s %9s %9s %11s %12s %9s %11s %9s\n", "size", "preset", "rt_fps",
                "rt_drop", "rt_cpu/f", "fast_fps", "fast_cpu/f", "ffm_cpu/f", "cpu_ratio",
                "seg_KiB");
    for (int height : heights) {
        const int width = height * 16 / 9;
        const testing::SyntheticFrames frames(width, height, 60);
        const int64_t realFrames = static_cast<int64_t>(seconds * 30);
        const RunResult rt = runWriter(frames, width, height, true, realFrames);
        const RunResult fast = runWriter(frames, width, height, false, fastFrames);
        const double ffmpegCpu = runFfmpegCpuPerFrame(frames, width, height, fastFrames);
        const double fastCpu = fast.cpuSeconds / static_cast<double>(fast.encoded);
        size_t mediaBytes = 0;
        for (size_t i = 1; i < rt.segmentSizes.size(); ++i) {
            mediaBytes += rt.segmentSizes[i];
        }
        const double meanSegmentKiB =
            rt.segmentSizes.size() > 1 ? mediaBytes / 1024.0 / (rt.segmentSizes.size() - 1) : 0;
        std::printf(
            "%4dx%-5d %-10s %9.1f %8.2f%% %9.4f %11.1f %12.4f %9.4f %10.2fx %9.0f\n", width, height,
            encoderSettingsFor(width, height).preset.c_str(), rt.encoded / rt.wallSeconds,
            100.0 * static_cast<double>(rt.offered - rt.encoded) / rt.offered,
            rt.cpuSeconds / static_cast<double>(rt.encoded), fast.encoded / fast.wallSeconds,
            fastCpu, ffmpegCpu, ffmpegCpu > 0 ? fastCpu / ffmpegCpu : 0.0, meanSegmentKiB);
        if (!rt.droppedFrames.empty()) {
            std::printf("           dropped at 30 fps:");
            for (size_t i = 0; i < rt.droppedFrames.size() && i < 20; ++i) {
                std::printf(" %lld", static_cast<long long>(rt.droppedFrames[i]));
            }
            std::printf("\n");
        }
        std::fflush(stdout);
    }
    return 0;
}
