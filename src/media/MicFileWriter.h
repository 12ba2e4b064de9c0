#pragma once

// Writes the microphone, already retimed onto the recording timeline, into an AAC
// (.m4a) file of its own in the temporary directory: "tessera-mic-<UUID>.m4a".
// The file starts at time zero like the screen video: the first real buffer gets
// leading silence up to its time.
//
// The file is created exclusively and readable only by its owner (mode 0600): a
// microphone recording in a shared temporary directory must not be readable by
// other local users, and an existing file (or link) of the same name is never
// written through.
//
// Threads: the file is encoded and written on a thread of its own (queue
// "com.tessera.recorder.mic-file"), so a slow disk never holds up the screen
// recorder's queue that appends. append() only hands the buffer over: up to
// kMaxBacklog of audio may wait for that thread, and a buffer beyond it is
// dropped and counted (the encoder fills the gap with silence, so the file
// keeps its timing). finish() waits on that thread too and resumes the
// awaiting task on its executor. start() and deleteFile() run in the
// controller's tasks; every call is safe from any thread.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "media/MediaSample.h"
#include "media/SegmentWriter.h"
#include "support/MediaTime.h"
#include "support/SerialQueue.h"
#include "support/Task.h"

namespace tessera {

class AacEncoder;

class MicFileWriter {
  public:
    static constexpr const char* kQueueLabel = "com.tessera.recorder.mic-file";
    // Audio that may wait for the file's thread: a disk that stalls briefly
    // loses nothing, one that stalls longer loses audio rather than memory.
    static constexpr MediaTime kMaxBacklog{2, 1};

    // Called on the file's thread before every write to the file and before
    // it is flushed to disk; it may block. Lets tests stand in for a slow disk.
    using WriteGate = std::function<void()>;

    // Picks a fresh file name in the temporary directory ($TMPDIR, else /tmp).
    // Throws RecorderError when that directory is unusable.
    explicit MicFileWriter(WriteGate beforeEachWrite = {});
    // Removes the file of a writer that never finished it.
    ~MicFileWriter();
    MicFileWriter(const MicFileWriter&) = delete;
    MicFileWriter& operator=(const MicFileWriter&) = delete;

    const std::filesystem::path& url() const { return url_; }

    // Creates the file and begins writing at time zero. A second call does
    // nothing. Throws RecorderError; a failed start leaves no file.
    void start();

    // One retimed buffer, handed to the file's thread. Dropped silently before
    // start, after a failure, or when it has no usable format, payload or
    // time; dropped and counted when the backlog is full.
    void append(const AudioSample& sample);

    // Once every buffer appended before it is written: true when a complete
    // file exists at url(). Without any accepted sample the writing is
    // cancelled, the file removed, and the result is false. Resumes on the
    // awaiting task's executor.
    Task<bool> finish();

    // Removes the file (cancelling writing first); never fails outwardly.
    void deleteFile();

    WriterStatus status() const;
    // True once a real buffer has been written (on the file's thread).
    bool didAppendSamples() const;
    // Audio handed over and not yet written.
    MediaTime backlog() const;
    // Buffers dropped because the backlog was full.
    int64_t buffersDropped() const { return buffersDropped_.load(std::memory_order_relaxed); }

    // A silent buffer in the template's format: frames frames starting at `at`,
    // one timing entry of 1/sampleRate. Nothing when frames < 1 or the template
    // has no usable audio description. Stateless; any thread.
    static std::optional<AudioSample> silence(const AudioSample& matching, int64_t frames,
                                              MediaTime at);
    // The silence that precedes the first real buffer: from zero up to `end`,
    // made only when end lies strictly between 0.001 s and 10 s.
    static std::optional<AudioSample> leadingSilence(const AudioSample& matching, MediaTime end);

  private:
    struct Muxer;

    // The file's thread.
    void write(const AudioSample& sample, int64_t backlogNs);
    bool finishOnQueue();
    void closeMuxer();
    void fail(const std::string& message);

    std::filesystem::path url_;
    WriteGate beforeEachWrite_;

    // Guarded by mutex_.
    mutable std::mutex mutex_;
    WriterStatus status_ = WriterStatus::unknown;
    bool didAppendSamples_ = false;
    int64_t backlogNs_ = 0;

    std::atomic<int64_t> buffersDropped_ = 0;

    // Created by start() before any append; then used on the file's thread only.
    int fd_ = -1;
    std::unique_ptr<Muxer> muxer_;

    // Last: destroyed first, running what is queued while the state above lives.
    SerialQueue queue_{kQueueLabel};
};

}  // namespace tessera
