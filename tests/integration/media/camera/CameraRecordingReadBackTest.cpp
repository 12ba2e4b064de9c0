// A camera recording on a scripted camera, encoded by the real writer and read
// back with libavformat: what a viewer of the camera stream gets.

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <fstream>
#include <mutex>

#include "integration/media/MediaProbe.h"
#include "media/CameraRecorder.h"
#include "support/ManualExecutor.h"
#include "support/RunTask.h"
#include "support/SyntheticCapture.h"
#include "unit/media/camera/ScriptedCameraSource.h"

namespace tessera {
namespace {

using testing::cameraPicture;
using testing::runTask;
using testing::SegmentCollector;
using testing::waitUntil;

constexpr int kWidth = 320;
constexpr int kHeight = 180;

// Per decoded frame, in presentation order: the mean luma of a patch in the
// upper left quarter and of one in the upper right quarter.
struct Sides {
    double left = 0;
    double right = 0;
};

std::vector<Sides> decodeSides(const std::vector<uint8_t>& bytes) {
    const std::filesystem::path path = testing::makeTempDirectory() / "camera.mp4";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    AVFormatContext* rawInput = nullptr;
    if (avformat_open_input(&rawInput, path.c_str(), nullptr, nullptr) < 0) {
        throw std::runtime_error("cannot open the recording");
    }
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> input(
        rawInput, [](AVFormatContext* c) { avformat_close_input(&c); });
    avformat_find_stream_info(input.get(), nullptr);
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        throw std::runtime_error("no video stream");
    }
    const AVCodec* codec = avcodec_find_decoder(input->streams[index]->codecpar->codec_id);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> decoder(
        avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
    avcodec_parameters_to_context(decoder.get(), input->streams[index]->codecpar);
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        throw std::runtime_error("cannot open the decoder");
    }
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    std::vector<std::pair<int64_t, Sides>> frames;
    const auto patchMean = [&](int x0) {
        double sum = 0;
        for (int y = 10; y < 30; ++y) {
            for (int x = x0; x < x0 + 20; ++x) {
                sum += frame->data[0][y * frame->linesize[0] + x];
            }
        }
        return sum / 400;
    };
    const auto receive = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            frames.emplace_back(frame->best_effort_timestamp,
                                Sides{patchMean(20), patchMean(frame->width - 40)});
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) {
            avcodec_send_packet(decoder.get(), packet.get());
            receive();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    receive();
    std::sort(frames.begin(), frames.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Sides> sides;
    for (const auto& [pts, s] : frames) {
        sides.push_back(s);
    }
    return sides;
}

class CameraRecordingReadBackTest : public ::testing::Test {
  protected:
    CameraRecordingReadBackTest() {
        recorder = std::make_unique<CameraRecorder>(
            cameras, nullptr, executor, clock,
            [this](const SegmentWriter::Configuration& configuration,
                   CameraRecorder::SegmentHandler onSegment) {
                auto made = std::make_shared<SegmentWriter>(configuration, std::move(onSegment));
                std::lock_guard lock(mutex);
                writer = made;
                return made;
            });
    }

    void at(int64_t frameIndex) { clock.set(MediaTime(50, 1) + MediaTime(frameIndex, 30)); }
    // Frames [from, to) at 30 fps; each waits until the writer can take it, so
    // encoding speed never decides what is recorded.
    void emitFrames(int64_t from, int64_t to) {
        for (int64_t i = from; i < to; ++i) {
            runTask(executor, recorder->drain());
            std::shared_ptr<SegmentWriter> current;
            {
                std::lock_guard lock(mutex);
                current = writer;
            }
            if (current) {
                ASSERT_TRUE(waitUntil([&] {
                    return current->status() != WriterStatus::writing ||
                           current->videoInput().isReadyForMoreMediaData();
                }));
            }
            at(i);
            cameras.last->deliver(cameraPicture(kWidth, kHeight, i), clock.now());
        }
        runTask(executor, recorder->drain());
    }

    testing::ScopedTmpDir tmp;
    ManualExecutor executor;
    ManualHostClock clock{MediaTime(50, 1)};
    testing::ScriptedCameraSource cameras;
    std::mutex mutex;
    std::shared_ptr<SegmentWriter> writer;
    std::unique_ptr<CameraRecorder> recorder;
};

// Two seconds, a one-second pause, then two more seconds with mirroring
// turned on at the 75th recorded frame: 120 frames over four seconds, the
// paused second cut out, the picture flipped from that frame on.
TEST_F(CameraRecordingReadBackTest, PausedSpanIsCutAndMirroringShowsFromTheFrameItChanged) {
    recorder->startPreview("", false);
    SegmentCollector segments;
    recorder->beginRecording(segments.handler());
    emitFrames(0, 60);
    at(60);
    recorder->pause();
    emitFrames(60, 90);  // previewed only
    at(90);
    recorder->resume();
    emitFrames(90, 105);
    recorder->setMirrored(true);
    emitFrames(105, 150);
    runTask(executor, recorder->finishRecording());
    // finishRecording returned after the last segment: nothing comes later.
    const size_t delivered = segments.count();
    EXPECT_EQ(writer->status(), WriterStatus::completed);

    const testing::MediaProbe probe = testing::probeBytes(segments.joined());
    ASSERT_TRUE(probe.video);
    EXPECT_EQ(probe.video->codec, "h264");
    EXPECT_EQ(probe.video->profile, FF_PROFILE_H264_HIGH);
    EXPECT_EQ(probe.video->width, kWidth);
    EXPECT_EQ(probe.video->height, kHeight);
    EXPECT_EQ(probe.video->decodedFrames, 120);
    EXPECT_NEAR(probe.video->startSeconds, 0.0, 0.001);
    EXPECT_NEAR(probe.video->endSeconds, 4.0, 0.01);
    // No frame jumps across the pause: the timeline goes on in 1/30 s steps.
    for (size_t i = 1; i < probe.video->frameSeconds.size(); ++i) {
        ASSERT_NEAR(probe.video->frameSeconds[i] - probe.video->frameSeconds[i - 1], 1.0 / 30,
                    0.002)
            << i;
    }

    const std::vector<Sides> sides = decodeSides(segments.joined());
    ASSERT_EQ(sides.size(), 120u);
    for (size_t i = 0; i < sides.size(); ++i) {
        const bool mirrored = i >= 75;
        const double bright = mirrored ? sides[i].right : sides[i].left;
        const double dark = mirrored ? sides[i].left : sides[i].right;
        // Limited-range luma of the two sides: about 205 and 42.
        ASSERT_GT(bright, 180) << "frame " << i;
        ASSERT_LT(dark, 70) << "frame " << i;
    }
    emitFrames(150, 160);
    EXPECT_EQ(segments.count(), delivered);
}

}  // namespace
}  // namespace tessera
