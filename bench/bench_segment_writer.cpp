// Feeds screen-like frames through SegmentWriter at 1920x1080, 2560x1440 and
// 3840x2160, in real time at 30 fps and as fast as the writer takes them, and
// encodes the same raw frames with the ffmpeg command-line tool using the same
// encoder settings for comparison. Prints encoded fps, CPU seconds per frame,
// frames dropped at 30 fps real time, the bit rate reached and segment sizes.
// Then encodes the same pictures, converted once to yuv420p, with libx264 under each
// preset at the size's bit rate: encoded fps, CPU per frame, the share of both cores
// x264 takes at 30 fps real time, frames it finished late there, bit rate and PSNR.
//
// The pictures are a desktop whose editor text scrolls and whose video window plays
// textured, grainy, panning video (ScreenContent), made before anything is timed;
// --content synthetic uses the old, nearly static test pattern instead.
//
//   bench_segment_writer [--seconds N] [--fast-frames N] [--sizes 1080,1440,2160]
//                        [--content screen|synthetic] [--presets p1,p2,...]

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScreenContent.h"
#include "media/EncoderSettings.h"
#include "media/SegmentWriter.h"
#include "support/SyntheticCapture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

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

std::string loadAverage() {
    FILE* f = std::fopen("/proc/loadavg", "r");
    char buf[64] = {};
    if (f) {
        if (!std::fgets(buf, sizeof buf, f)) {
            buf[0] = 0;
        }
        std::fclose(f);
    }
    std::string s(buf);
    const auto third = s.find(' ', s.find(' ', s.find(' ') + 1) + 1);
    return "load " + s.substr(0, third);
}

struct RunResult {
    int64_t offered = 0;
    int64_t encoded = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    std::vector<size_t> segmentSizes;
    std::vector<int64_t> droppedFrames;
};

using Frames = std::function<std::shared_ptr<const PixelBuffer>(int64_t)>;

VideoSample frameAt(const Frames& frames, int64_t index) {
    VideoSample sample;
    sample.pixels = frames(index);
    sample.timing = SampleTiming{MediaTime(1, 30), MediaTime(index, 30), MediaTime::invalid()};
    sample.frameStatus = FrameStatus::complete;
    return sample;
}

RunResult runWriter(const Frames& frames, int width, int height, bool realTime,
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
double runFfmpegCpuPerFrame(const Frames& frames, int width, int height, int64_t frameCount) {
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
        const PixelBuffer& p = *frames(k);
        fwrite(p.data(), 1, p.sizeInBytes(), pipe);
    }
    if (pclose(pipe) != 0) {
        return -1;
    }
    return (childCpuSeconds() - cpu0) / static_cast<double>(frameCount);
}

struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;

// The pictures of one loop converted once to yuv420p (BT.709, limited range), as the
// writer's conversion stage hands them to the encoder.
std::vector<FramePtr> toYuv(const Frames& frames, int count, int width, int height) {
    SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height,
                                     AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    std::vector<FramePtr> out;
    for (int i = 0; i < count; ++i) {
        FramePtr f(av_frame_alloc());
        f->format = AV_PIX_FMT_YUV420P;
        f->width = width;
        f->height = height;
        av_frame_get_buffer(f.get(), 0);
        const PixelBuffer& p = *frames(i);
        const uint8_t* src[] = {p.data()};
        const int stride[] = {p.bytesPerRow};
        sws_scale(sws, src, stride, 0, height, f->data, f->linesize);
        out.push_back(std::move(f));
    }
    sws_freeContext(sws);
    return out;
}

struct PresetResult {
    bool ok = false;
    int64_t frames = 0;
    int64_t late = 0;  // real time: frames the encoder took past the next frame's time
    double wallSeconds = 0;
    double cpuSeconds = 0;
    int64_t bytes = 0;
    double psnrY = 0;  // x264's mean luma PSNR over the run
};

// x264 reports PSNR only in its closing log lines; this keeps the luma mean and
// silences everything else libav* would print.
std::atomic<double> lastPsnrY{0};

void captureX264Log(void*, int level, const char* format, va_list args) {
    if (level > AV_LOG_INFO) {
        return;
    }
    char line[1024];
    int prefix = 1;
    av_log_format_line(nullptr, level, format, args, line, sizeof line, &prefix);
    if (const char* at = std::strstr(line, "PSNR Mean Y:")) {
        lastPsnrY = std::atof(at + 12);
    } else if (level <= AV_LOG_ERROR) {
        std::fputs(line, stderr);
    }
}

// libx264 as the writer opens it (High profile, no B-frames, forced IDR every 2 s,
// average bit rate, x264's own threading), with `preset` and `params`.
PresetResult runPreset(const std::vector<FramePtr>& yuv, int width, int height,
                       const std::string& preset, const std::string& params, int64_t bitrate,
                       int64_t frameCount, bool realTime) {
    PresetResult r;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    std::unique_ptr<AVCodecContext, CodecFreer> c(avcodec_alloc_context3(codec));
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, 30};
    c->framerate = AVRational{30, 1};
    c->bit_rate = bitrate;
    c->max_b_frames = 0;
    c->thread_count = 0;
    c->profile = FF_PROFILE_H264_HIGH;
    c->flags |= AV_CODEC_FLAG_PSNR;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", preset.c_str(), 0);
    av_dict_set(&options, "profile", "high", 0);
    av_dict_set(&options, "forced-idr", "1", 0);
    if (!params.empty()) {
        av_dict_set(&options, "x264-params", params.c_str(), 0);
    }
    const int rc = avcodec_open2(c.get(), codec, &options);
    av_dict_free(&options);
    if (rc < 0) {
        return r;
    }
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    auto drain = [&] {
        while (avcodec_receive_packet(c.get(), packet.get()) >= 0) {
            r.bytes += packet->size;
            av_packet_unref(packet.get());
        }
    };
    const double cpu0 = processCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    auto due = [&](int64_t k) {
        return start + std::chrono::nanoseconds(k * 1'000'000'000 / 30);
    };
    for (int64_t k = 0; k < frameCount; ++k) {
        if (realTime) {
            std::this_thread::sleep_until(due(k));
        }
        AVFrame* f = yuv[static_cast<size_t>(k % static_cast<int64_t>(yuv.size()))].get();
        f->pts = k;
        f->pict_type = k % 60 == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (avcodec_send_frame(c.get(), f) < 0) {
            return r;
        }
        drain();
        r.late += realTime && std::chrono::steady_clock::now() > due(k + 1) ? 1 : 0;
        ++r.frames;
    }
    avcodec_send_frame(c.get(), nullptr);
    drain();
    r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpuSeconds = processCpuSeconds() - cpu0;
    c.reset();  // x264 logs its PSNR summary when it closes
    r.psnrY = lastPsnrY.exchange(0);
    r.ok = true;
    return r;
}

void comparePresets(const Frames& frames, int loopFrames, int width, int height,
                    const std::vector<std::string>& presets, int64_t fastFrames,
                    int64_t realFrames) {
    const auto yuv = toYuv(frames, loopFrames, width, height);
    const VideoEncoderSettings table = encoderSettingsFor(width, height);
    const int64_t bitrate = videoBitrate(width, height);
    for (const std::string& preset : presets) {
        // The table's parameters for its own preset; ultrafast otherwise gets only
        // what keeps it in High profile.
        std::string params = preset == table.preset  ? table.x264Params
                             : preset == "ultrafast" ? "cabac=1:8x8dct=1"
                                                     : "";
        const PresetResult fast =
            runPreset(yuv, width, height, preset, params, bitrate, fastFrames, false);
        const PresetResult rt =
            runPreset(yuv, width, height, preset, params, bitrate, realFrames, true);
        if (!fast.ok || !rt.ok) {
            std::printf("  %-10s failed\n", preset.c_str());
            continue;
        }
        std::printf("  %-10s %s %9.1f %10.2f %9.0f%% %8.1f%% %9.0f %8.2f   %s\n", preset.c_str(),
                    preset == table.preset ? "*" : " ", fast.frames / fast.wallSeconds,
                    1000 * fast.cpuSeconds / fast.frames, 100 * rt.cpuSeconds / rt.wallSeconds / 2,
                    100.0 * static_cast<double>(rt.late) / rt.frames,
                    rt.bytes * 8 / 1000.0 / (rt.frames / 30.0), rt.psnrY, loadAverage().c_str());
        std::fflush(stdout);
    }
}

}  // namespace

std::vector<std::string> splitList(const char* text) {
    std::vector<std::string> out;
    std::string item;
    for (const char* p = text;; ++p) {
        if (*p == ',' || *p == 0) {
            if (!item.empty()) {
                out.push_back(item);
            }
            item.clear();
            if (*p == 0) {
                return out;
            }
        } else {
            item += *p;
        }
    }
}

int main(int argc, char** argv) {
    av_log_set_callback(&captureX264Log);
    double seconds = 3;
    int64_t fastFrames = 90;
    std::vector<int> heights = {1080, 1440, 2160};
    std::string content = "screen";
    std::vector<std::string> presets = {"ultrafast", "superfast", "veryfast", "faster"};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (flag == "--fast-frames") {
            fastFrames = std::atoll(argv[i + 1]);
        } else if (flag == "--sizes") {
            heights.clear();
            for (const std::string& h : splitList(argv[i + 1])) {
                heights.push_back(std::atoi(h.c_str()));
            }
        } else if (flag == "--content") {
            content = argv[i + 1];
        } else if (flag == "--presets") {
            presets = splitList(argv[i + 1]);
        }
    }
    for (int height : heights) {
        const int width = height * 16 / 9;
        std::shared_ptr<const bench::ScreenContent> screen;
        std::shared_ptr<const testing::SyntheticFrames> synthetic;
        Frames frames;
        int loopFrames = 60;
        const auto made = std::chrono::steady_clock::now();
        if (content == "synthetic") {
            synthetic = std::make_shared<testing::SyntheticFrames>(width, height, loopFrames);
            frames = [synthetic](int64_t k) {
                return synthetic->frame(k);
            };
        } else {
            loopFrames = bench::ScreenContent::framesWithin(width, height, int64_t{2} << 30);
            screen = std::make_shared<bench::ScreenContent>(width, height, loopFrames);
            frames = [screen](int64_t k) {
                return screen->frame(k);
            };
        }
        std::printf("%dx%d, %s content, a loop of %d frames made in %.1f s\n", width, height,
                    content.c_str(), loopFrames,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - made).count());
        std::printf("  %-10s %9s %9s %9s %11s %12s %9s %11s %9s %9s\n", "preset", "rt_fps",
                    "rt_drop", "rt_cpu/f", "fast_fps", "fast_cpu/f", "ffm_cpu/f", "cpu_ratio",
                    "seg_KiB", "kbit/s");
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
        // Per second of recording: dropped frames leave their time to the frames kept.
        const double kbps = mediaBytes * 8 / 1000.0 / (static_cast<double>(rt.offered) / 30.0);
        std::printf("  %-10s %9.1f %8.2f%% %9.4f %11.1f %12.4f %9.4f %10.2fx %9.0f %9.0f  %s\n",
                    encoderSettingsFor(width, height).preset.c_str(), rt.encoded / rt.wallSeconds,
                    100.0 * static_cast<double>(rt.offered - rt.encoded) / rt.offered,
                    rt.cpuSeconds / static_cast<double>(rt.encoded),
                    fast.encoded / fast.wallSeconds, fastCpu, ffmpegCpu,
                    ffmpegCpu > 0 ? fastCpu / ffmpegCpu : 0.0, meanSegmentKiB, kbps,
                    loadAverage().c_str());
        if (!rt.droppedFrames.empty()) {
            std::printf("  dropped at 30 fps:");
            for (size_t i = 0; i < rt.droppedFrames.size() && i < 20; ++i) {
                std::printf(" %lld", static_cast<long long>(rt.droppedFrames[i]));
            }
            std::printf("\n");
        }
        if (!presets.empty()) {
            std::printf("  libx264 alone on yuv420p at %lld kbit/s (* = the table's preset):\n",
                        static_cast<long long>(videoBitrate(width, height) / 1000));
            std::printf("  %-10s   %9s %10s %10s %9s %9s %8s\n", "preset", "fast_fps", "cpu_ms/f",
                        "rt_cpu", "rt_late", "kbit/s", "psnr_y");
            comparePresets(frames, loopFrames, width, height, presets, fastFrames, realFrames);
        }
        std::fflush(stdout);
    }
    return 0;
}
