#include "capture/MediaSession.h"

#include "media/MicFileWriter.h"
#include "media/ScreenRecorder.h"
#include "media/SegmentWriter.h"

namespace tessera {

namespace {

// The session's microphone file as the controller sees it.
class MicFileRecording final : public MicRecording {
  public:
    explicit MicFileRecording(std::shared_ptr<MicFileWriter> writer) : writer_(std::move(writer)) {}

    Task<bool> finish() override { return writer_->finish(); }
    bool isWriting() const override { return writer_->status() == WriterStatus::writing; }
    // Removing the file cancels the writing first; the tear-down always does
    // both, so cancelling alone has nothing to add.
    void cancelWriting() override {}
    void deleteFile() override { writer_->deleteFile(); }
    std::string path() const override { return writer_->url().string(); }

  private:
    std::shared_ptr<MicFileWriter> writer_;
};

// The session's screen recorder as the controller sees it.
class ScreenRecorderRecording final : public ScreenRecording {
  public:
    ScreenRecorderRecording(std::shared_ptr<SegmentWriter> writer,
                            std::shared_ptr<MicFileWriter> micWriter, CaptureStreamFactory& streams,
                            const HostClock& clock)
        : writer_(writer), recorder_(std::move(writer), std::move(micWriter), streams, clock) {}

    void setOnStreamStopped(std::function<void(std::exception_ptr)> handler) override {
        recorder_.onStreamStopped = std::move(handler);
    }
    Task<void> start(ContentFilter filter, StreamConfiguration configuration) override {
        return recorder_.start(std::move(filter), std::move(configuration));
    }
    void pause() override { recorder_.pause(); }
    void resume() override { recorder_.resume(); }
    void setMicMuted(bool muted) override { recorder_.setMicMuted(muted); }
    Task<bool> stop() override { return recorder_.stop(); }
    Task<void> cancel() override { return recorder_.cancel(); }
    std::optional<std::string> writerError() const override { return writer_->error(); }
    ScreenRecorderStats stats() const override { return recorder_.stats(); }

  private:
    std::shared_ptr<SegmentWriter> writer_;
    ScreenRecorder recorder_;
};

}  // namespace

SessionRecorders MediaSessionFactory::makeRecorders(const SegmentWriter::Configuration& writer,
                                                    std::function<void(SegmentBytes)> onSegment,
                                                    bool withMicrophone) {
    auto segments = std::make_shared<SegmentWriter>(
        writer, [onSegment = std::move(onSegment)](std::vector<std::uint8_t> bytes) {
            onSegment(std::move(bytes));
        });
    SessionRecorders made;
    std::shared_ptr<MicFileWriter> micFile;
    if (withMicrophone) {
        micFile = std::make_shared<MicFileWriter>();
        made.mic = std::make_shared<MicFileRecording>(micFile);
    }
    made.screen = std::make_shared<ScreenRecorderRecording>(std::move(segments), std::move(micFile),
                                                            streams_, clock_);
    return made;
}

}  // namespace tessera
