#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/HttpTransport.h"
#include "support/Guarded.h"
#include "support/SerialQueue.h"
#include "support/Task.h"

namespace tessera {

// Where local copies live: the spool of unfinished sessions and the folder the
// kept copies are saved in.
struct LocalCopyFolders {
    // `$XDG_STATE_HOME/tessera-recorder/sessions` (or `~/.local/state/...`).
    std::filesystem::path sessions;
    // `<videos>/Tessera Recorder`: the videos folder is $XDG_VIDEOS_DIR, else the
    // one named in `$XDG_CONFIG_HOME/user-dirs.dirs`, else `~/Videos`.
    std::filesystem::path videos;

    // The folders of this process's environment.
    static LocalCopyFolders fromEnvironment();
};

// Where one segment lies in its kind's spool file.
struct SpooledRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// What a session's spool folder says about its recording.
struct SpoolManifest {
    std::string recordingID;
    // When the recording started, as seconds since the epoch; names the copies.
    std::int64_t startedAtSeconds = 0;
};

// The on-disk safety copy of one recording session: one folder
// `<sessions>/<recording id>/` (mode 0700) holding each video kind as one
// fragmented MP4 file (mode 0600) that plays as it stands, since segments are
// appended in order, initialization segment first. Every append is written and
// fsynced on the spool's own queue, so neither the capture nor the encoding
// threads ever wait for the disk. A write that fails (a full disk) truncates the
// file back to its last complete segment, logs one warning and stops the spool;
// the recording goes on without it.
//
// Thread-safe: append, read and the state accessors may be called from any
// thread; the Task operations resume on the awaiting task's executor.
class SessionSpool {
  public:
    // Creates the session's folder (and the sessions folder) and its manifest.
    // Refuses, with a RecorderError, a sessions folder or session folder that is
    // a symbolic link or cannot be made private.
    static std::shared_ptr<SessionSpool> create(const std::filesystem::path& sessionsFolder,
                                                const SpoolManifest& manifest);
    ~SessionSpool();
    SessionSpool(const SessionSpool&) = delete;
    SessionSpool& operator=(const SessionSpool&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    const SpoolManifest& manifest() const { return manifest_; }

    // Queues `bytes` to be appended to the kind's file ("screen", "camera") and
    // returns where they will be; none once the spool has stopped. With
    // `keepOnFailure`, the bytes of a write that fails stay readable through
    // read(), for a caller that counts on reading them back.
    std::optional<SpooledRange> append(const std::string& kind, SharedBytes bytes,
                                       bool keepOnFailure = false);

    // Copies a finished file (the microphone's) into the folder as `name`.
    // Runs on the spool's queue; a failure is logged and changes nothing else.
    Task<void> adoptFile(std::filesystem::path source, std::string name);

    // Reads back a range returned by append(), after its write. Throws a
    // RecorderError when it can be read neither from disk nor from memory.
    Task<SharedBytes> read(std::string kind, SpooledRange range);

    // Waits until every queued write has been made.
    Task<void> flush();

    // Runs disk work on the spool's queue, after every queued write.
    Task<void> onDisk(std::function<void()> work);

    // Whether a failed write has stopped the spool.
    bool stopped() const { return stopped_.load(); }

    // Bytes appended to disk so far, over all kinds; for measurements.
    std::uint64_t bytesWritten() const { return bytesWritten_.load(); }

    // Deletes the folder once the queued writes are done. Never throws; a
    // failure is logged. Later appends are refused.
    Task<void> discard();

  private:
    struct KindFile;
    SessionSpool(std::filesystem::path folder, int folderFd, SpoolManifest manifest);
    void write(const std::string& kind, const SharedBytes& bytes, SpooledRange range,
               bool keepOnFailure);
    void stop(const std::string& why);
    void recordCompleteSize(const std::string& kind, std::uint64_t size);

    std::filesystem::path folder_;
    int folderFd_;  // O_PATH-free directory descriptor; files are opened relative to it
    SpoolManifest manifest_;
    SerialQueue queue_;
    std::atomic<bool> stopped_{false};
    std::atomic<std::uint64_t> bytesWritten_{0};
    // The logical end of each kind's file, counting queued writes; any thread.
    Guarded<std::map<std::string, std::uint64_t>> ends_;
    // Bytes whose write failed and that a reader still expects; keyed by kind and
    // offset.
    Guarded<std::map<std::pair<std::string, std::uint64_t>, SharedBytes>> unwritten_;
    // Open files; only touched on queue_.
    std::map<std::string, std::unique_ptr<KindFile>> files_;
};

// The name of a kind's media file inside a session folder.
std::string spoolFileName(const std::string& kind);
// The name of the file beside it that lists, one per line, the size the media
// file had after each whole segment.
std::string spoolEndsName(const std::string& kind);
// Where the last whole segment of a kind's media file ends; none when the
// folder does not say.
std::optional<std::uint64_t> lastWholeSegmentEnd(const std::filesystem::path& folder,
                                                 const std::string& kind);

}  // namespace tessera
