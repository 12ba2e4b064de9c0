#pragma once

// Encodes one video track (H.264 High, BT.709) and optionally one system-audio
// track (AAC-LC 48 kHz stereo 160 kbit/s) into fragmented MP4 held in memory, and
// hands every finished segment to a callback as bytes: the initialization
// segment (ftyp + moov) first, then one media segment (moof + mdat) per
// segmentSeconds of media time, each starting on a forced key frame.
//
// Threads: appends come from the owning recorder's queue and never wait on
// encoding. Conversion runs on one thread of the writer's own and encoding and
// muxing on another, so that converting a picture overlaps encoding the one
// before. Both are reached through a bounded hand-off: while they are busy
// with earlier frames the video input is not ready and the caller drops the
// frame (a dropped frame is never queued). onSegment runs on the writer's
// encoding thread; it must only hand the bytes on.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/MediaSample.h"
#include "support/MediaTime.h"
#include "support/Task.h"

namespace tessera {

enum class WriterStatus { unknown, writing, completed, failed, cancelled };

class SegmentWriter {
  public:
    struct Configuration {
        int64_t width = 0;
        int64_t height = 0;
        int64_t frameRate = 30;
        int64_t bitrate = 8'000'000;
        bool systemAudio = false;
        int64_t segmentSeconds = 2;
    };
    using SegmentHandler = std::function<void(std::vector<uint8_t>)>;

    // How many video frames may wait for or sit in the two stages at once
    // (one converting, one encoding, the rest waiting): a sixth of a second at
    // 30 fps, which absorbs x264's slow first frames (it sets up its reference
    // frames then) and its key frames without a drop.
    static constexpr int kVideoHandOffDepth = 5;
    // How many audio buffers may wait: about five seconds of 10 ms buffers
    // (2 MB of stereo float). Audio waits in line behind pictures, and a busy
    // machine may take a second over a few of them; a gap in the sound is far
    // worse than a dropped frame, so this only guards against a writer that
    // has stopped.
    static constexpr int kAudioHandOffDepth = 512;

    struct Impl;

    // Thread-safe. append() takes a frame only when the hand-off has room and the
    // writer is writing; its time must be later than the previous frame's.
    class VideoInput {
      public:
        bool isReadyForMoreMediaData() const;
        bool append(const VideoSample& sample);
        void markAsFinished();

      private:
        friend class SegmentWriter;
        explicit VideoInput(Impl& impl) : impl_(impl) {}
        Impl& impl_;
    };

    class AudioInput {
      public:
        bool isReadyForMoreMediaData() const;
        bool append(const AudioSample& sample);
        void markAsFinished();

      private:
        friend class SegmentWriter;
        explicit AudioInput(Impl& impl) : impl_(impl) {}
        Impl& impl_;
    };

    // Cannot fail; encoders and muxer are opened by start().
    SegmentWriter(Configuration configuration, SegmentHandler onSegment);
    // Cancels a writer that is still writing (no segment after that).
    ~SegmentWriter();
    SegmentWriter(const SegmentWriter&) = delete;
    SegmentWriter& operator=(const SegmentWriter&) = delete;

    const Configuration& configuration() const;

    VideoInput& videoInput() { return *videoInput_; }
    // Present only when the configuration asks for system audio.
    AudioInput* systemAudioInput() { return audioInput_.get(); }

    // Begins writing with the session at time zero. A second call does nothing.
    // Throws RecorderError (the writer's error) when an encoder or the muxer
    // cannot be opened; the status is then failed.
    void start();

    // Trims the output at this timeline time: the last frame lasts until it and
    // no later media is written. Ordered after the appends made before it.
    void endSession(MediaTime sourceTime);

    // Delivers a segment whose end the video has reached without waiting for
    // later frames: the frames appended so far are pushed through the
    // encoder's look-ahead. The next frame restarts the encoder on a key
    // frame, so this is for a picture that stopped changing. Ordered after
    // the appends made before it.
    void drainVideo();

    // Ends writing: encodes what was handed off, delivers the last segment, and
    // then calls completion (on the writer's thread, or at once on the calling
    // thread when the writer is not writing). Delivers nothing when not writing.
    void finish(std::function<void()> completion);
    // co_await finish(): the same, resuming on the awaiting task's executor.
    Task<void> finish();

    // Discards everything; no segment is delivered once this returns. Must not be
    // called from onSegment (it joins the writer's thread).
    void cancelWriting();

    WriterStatus status() const;
    // The failure that stopped the writer, as user-facing text.
    std::optional<std::string> error() const;

  private:
    std::unique_ptr<Impl> impl_;
    std::unique_ptr<VideoInput> videoInput_;
    std::unique_ptr<AudioInput> audioInput_;
};

}  // namespace tessera
