#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/ControllerPorts.h"
#include "capture/spool/SessionSpool.h"
#include "capture/spool/SpoolWindow.h"
#include "server/SegmentUploader.h"
#include "support/Executor.h"

namespace tessera {

// The upload pipe of a session that keeps a local copy: each kind's segments go
// through a SpoolWindow (appended to the session's spool as they come, waiting
// on disk beyond the in-memory window) to the uploader's drain for that kind.
// At the end the controller either discards the spool (the server has it all)
// or keeps it as playable files. Closing at cancel discards it as well: a
// cancelled or restarted recording is thrown away. A pipe destroyed without
// either (the program quits mid-recording) leaves the spool for the recovery at
// the next launch.
//
// Executor thread, except the sink returned by screenSink().
class SpooledUploadPipe final : public UploadPipe {
  public:
    struct Options {
        // Bytes of segments per kind that wait for their upload in memory.
        std::size_t memoryWindowBytes = 32u << 20;
        // Where kept copies are saved.
        std::filesystem::path videosFolder;
    };

    // Starts the screen drain and, with a camera queue (filled by the camera
    // writer), the camera drain. `spool` may be null (it could not be created):
    // the pipe then uploads from memory only and keeps nothing.
    SpooledUploadPipe(Executor& executor, APIClient api, std::string recordingID,
                      std::optional<AsyncQueue<SegmentBytes>> cameraQueue,
                      std::shared_ptr<SessionSpool> spool, Options options);
    ~SpooledUploadPipe() override;

    // What the screen writer calls with each segment, from its own thread.
    std::function<void(SegmentBytes)> screenSink() const;

    const std::shared_ptr<SessionSpool>& spool() const { return spool_; }
    const std::shared_ptr<SpoolWindow>& screenWindow() const { return screen_; }

    Task<void> closeAtStop() override;
    void closeAtCancel() override;
    std::optional<std::string> failureSummary() const override;
    std::map<std::string, UploadCounters> counters() const override;

    Task<void> addToLocalCopy(std::string path, std::string name) override;
    Task<void> discardLocalCopy() override;
    Task<std::optional<std::string>> keepLocalCopy() override;

  private:
    // Finishes the queues and cancels the tasks; the spool stays.
    void closeAtCancelWithoutDiscard();
    // Moves the camera writer's segments into the camera window as they come.
    static Task<void> forward(AsyncQueue<SegmentBytes> from, std::shared_ptr<SpoolWindow> to);

    Executor& executor_;
    std::shared_ptr<SegmentUploader> uploader_;
    std::shared_ptr<SessionSpool> spool_;
    Options options_;
    std::shared_ptr<SpoolWindow> screen_;
    std::shared_ptr<SpoolWindow> camera_;
    std::optional<AsyncQueue<SegmentBytes>> cameraQueue_;
    TaskHandle<void> screenDrain_;
    TaskHandle<void> cameraForward_;
    TaskHandle<void> cameraDrain_;
    // Set once the spool has been kept or discarded.
    bool settled_ = false;
    std::optional<std::string> keptPath_;
};

}  // namespace tessera
