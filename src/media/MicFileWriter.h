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
// Threads: append() runs on the screen recorder's queue; start(), finish() and
// deleteFile() in the controller's tasks, finish() after the recorder's closing
// step. A mutex makes every call safe from any thread. Encoding is done inside
// append(): AAC at 48 kHz costs well under a millisecond per buffer.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "media/MediaSample.h"
#include "media/SegmentWriter.h"
#include "support/MediaTime.h"
#include "support/Task.h"

namespace tessera {

class AacEncoder;

class MicFileWriter {
  public:
    // Picks a fresh file name in the temporary directory ($TMPDIR, else /tmp).
    // Throws RecorderError when that directory is unusable.
    MicFileWriter();
    // Removes the file of a writer that never finished it.
    ~MicFileWriter();
    MicFileWriter(const MicFileWriter&) = delete;
    MicFileWriter& operator=(const MicFileWriter&) = delete;

    const std::filesystem::path& url() const { return url_; }

    // Creates the file and begins writing at time zero. A second call does
    // nothing. Throws RecorderError; a failed start leaves no file.
    void start();

    // One retimed buffer. Dropped silently before start, after a failure, or
    // when it has no usable format, payload or time.
    void append(const AudioSample& sample);

    // True when a complete file exists at url(). Without any accepted sample the
    // writing is cancelled, the file removed, and the result is false.
    bool finishNow();
    Task<bool> finish();

    // Removes the file (cancelling writing first); never fails outwardly.
    void deleteFile();

    WriterStatus status() const;
    bool didAppendSamples() const;

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

    void failLocked(const std::string& message);
    void closeLocked();

    std::filesystem::path url_;
    mutable std::mutex mutex_;
    WriterStatus status_ = WriterStatus::unknown;
    bool didAppendSamples_ = false;
    int fd_ = -1;
    std::unique_ptr<Muxer> muxer_;
};

}  // namespace tessera
