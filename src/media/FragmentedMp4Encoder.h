#pragma once

// The FFmpeg pipeline behind SegmentWriter, in two stages that run on
// different threads so that they overlap: VideoConverter turns screen pictures
// into yuv420p (BT.709; libswscale when it must also scale), and FragmentedMp4Encoder runs libx264,
// the native AAC encoder and the mp4 muxer writing fragmented MP4 into memory through a custom
// AVIOContext. Cuts a fragment at every segmentSeconds boundary of media time on a forced key
// frame.
//
// Each class is not thread-safe: created on one thread, then used from one
// thread at a time. Every method throws RecorderError on an FFmpeg failure.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "media/AacEncoder.h"
#include "media/FfmpegHandles.h"
#include "media/MediaSample.h"
#include "media/SegmentWriter.h"

namespace tessera {

// BGRA/BGRX pictures of any size to yuv420p frames of the video size,
// BT.709 limited range. Converts into a few frames of its own that it reuses
// once the encoder has let go of them, so a full frame is not allocated (and
// faulted in) for every picture.
class VideoConverter {
  public:
    // threads: how many threads the scaler splits its rows over;
    // preparedFrames: how many frames to set up at once (more are added when
    // all are in use).
    VideoConverter(int width, int height, int threads, int preparedFrames);

    // A new reference to a converted frame; the caller may hand it to another
    // thread, and the frame is reused only once every reference is gone.
    ff::FramePtr convert(std::shared_ptr<const PixelBuffer> pixels);

  private:
    void prepareScaler(const PixelBuffer& pixels);
    AVFrame* writableFrame();
    AVFrame* newFrame();

    int width_;
    int height_;
    int threads_;
    ff::SwsPtr scaler_;
    int scalerWidth_ = 0;
    int scalerHeight_ = 0;
    ff::FramePtr source_;
    std::vector<ff::FramePtr> frames_;
};

class FragmentedMp4Encoder {
  public:
    // Video timestamps are carried at this timescale.
    static constexpr int kVideoTimescale = 90000;
    using Deliver = std::function<void(std::vector<uint8_t>)>;

    // Opens encoders and muxer and writes the (delayed) header.
    FragmentedMp4Encoder(const SegmentWriter::Configuration& configuration, Deliver deliver);

    // One converted frame (VideoConverter) at ptsTicks (kVideoTimescale) lasting
    // `duration` (invalid: one frame at the configured rate); times must increase.
    // The frame's reference is released before this returns.
    void encodeVideo(ff::FramePtr picture, int64_t ptsTicks, MediaTime duration);
    void encodeAudio(const AudioSample& sample);
    void endSession(MediaTime end);
    // Pushes every frame given so far through the encoder's look-ahead and
    // delivers a segment that is complete. For a screen that stopped
    // changing, where no later frame would push them out; the next frame
    // restarts the encoder on a key frame.
    void drainVideo();
    // Drains the encoders and delivers the last segment.
    void finishStream();

  private:
    void openVideo();
    void openMuxer();
    void sendVideo(AVFrame* frame);
    void reopenVideo();
    void onVideoPacket(AVPacket* packet);
    void cutBefore(const AVPacket& packet);
    void writeVideo(ff::PacketPtr packet);
    void onAudioPacket(AVPacket* packet);
    void writeReadyAudio(bool all);
    void writePacket(AVPacket* packet, AVStream* stream, AVRational from);
    void flushFragment();
    void flushMuxer();
    static int onWrite(void* opaque, uint8_t* data, int size);

    SegmentWriter::Configuration config_;
    Deliver deliver_;
    int64_t segmentTicks_ = 0;

    ff::CodecContextPtr video_;
    std::unique_ptr<AacEncoder> audio_;
    ff::IoContextPtr io_;
    ff::FormatContextPtr muxer_;
    AVStream* videoStream_ = nullptr;
    AVStream* audioStream_ = nullptr;
    ff::PacketPtr packet_;

    std::vector<uint8_t> pendingBytes_;
    bool initDelivered_ = false;
    bool fragmentHasSamples_ = false;
    int64_t nextForcedKeyTicks_ = 0;
    int64_t nextCutSeconds_ = 0;
    // The newest video packet waits for the next one, which gives its duration.
    ff::PacketPtr heldVideo_;
    // The encoder has been drained and takes no more frames until reopened.
    bool videoDrained_ = false;
    int64_t lastFrameDurationTicks_ = 0;
    int64_t videoPacketsWritten_ = 0;
    // Audio packets past the next cut wait until the video reaches that cut.
    std::deque<ff::PacketPtr> heldAudio_;
    std::optional<MediaTime> sessionEnd_;
};

}  // namespace tessera
