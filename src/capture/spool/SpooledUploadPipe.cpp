#include "capture/spool/SpooledUploadPipe.h"

#include "capture/spool/LocalCopy.h"
#include "support/Log.h"

namespace tessera {
namespace {

constexpr const char* kComponent = "spool";

SegmentUploader::SegmentSource sourceOf(std::shared_ptr<SpoolWindow> window) {
    return [window] {
        return window->next();
    };
}

}  // namespace

SpooledUploadPipe::SpooledUploadPipe(Executor& executor, APIClient api, std::string recordingID,
                                     std::optional<AsyncQueue<SegmentBytes>> cameraQueue,
                                     std::shared_ptr<SessionSpool> spool, Options options)
    : executor_(executor),
      uploader_(std::make_shared<SegmentUploader>(std::move(api), std::move(recordingID))),
      spool_(std::move(spool)),
      options_(std::move(options)),
      screen_(std::make_shared<SpoolWindow>(spool_, "screen", options_.memoryWindowBytes)),
      cameraQueue_(std::move(cameraQueue)) {
    screenDrain_ = spawn(executor_, SegmentUploader::drain(uploader_, "screen", sourceOf(screen_)));
    if (cameraQueue_) {
        camera_ = std::make_shared<SpoolWindow>(spool_, "camera", options_.memoryWindowBytes);
        cameraForward_ = spawn(executor_, forward(*cameraQueue_, camera_));
        cameraDrain_ =
            spawn(executor_, SegmentUploader::drain(uploader_, "camera", sourceOf(camera_)));
    }
}

SpooledUploadPipe::~SpooledUploadPipe() {
    closeAtCancelWithoutDiscard();
}

void SpooledUploadPipe::closeAtCancelWithoutDiscard() {
    screen_->finish();
    if (cameraQueue_) {
        cameraQueue_->finish();
    }
    if (camera_) {
        camera_->finish();
    }
    screenDrain_.cancel();
    cameraForward_.cancel();
    cameraDrain_.cancel();
}

std::function<void(SegmentBytes)> SpooledUploadPipe::screenSink() const {
    return [window = screen_](SegmentBytes bytes) {
        if (!window->push(std::move(bytes))) {
            logging::warning("start", "a screen segment arrived after its queue was closed");
        }
    };
}

Task<void> SpooledUploadPipe::forward(AsyncQueue<SegmentBytes> from,
                                      std::shared_ptr<SpoolWindow> to) {
    while (auto segment = co_await from.next()) {
        to->push(std::move(*segment));
    }
    to->finish();
}

Task<void> SpooledUploadPipe::closeAtStop() {
    screen_->finish();
    if (cameraQueue_) {
        cameraQueue_->finish();
    }
    const TaskHandle<void> screen = screenDrain_;
    const TaskHandle<void> forwarding = cameraForward_;
    const TaskHandle<void> camera = cameraDrain_;
    if (forwarding.valid()) {
        co_await forwarding.join();
    }
    if (screen.valid()) {
        co_await screen.join();
    }
    if (camera.valid()) {
        co_await camera.join();
    }
    if (spool_) {
        co_await spool_->flush();
    }
}

void SpooledUploadPipe::closeAtCancel() {
    closeAtCancelWithoutDiscard();
    if (spool_ && !settled_) {
        settled_ = true;
        spawn(executor_, spool_->discard());
    }
}

std::optional<std::string> SpooledUploadPipe::failureSummary() const {
    std::optional<std::string> summary = uploader_->failureSummary();
    for (const auto* window : {camera_.get(), screen_.get()}) {
        if (window && window->readFailed()) {
            const std::string line =
                "some " + window->kind() + " segments couldn't be read back from the local copy";
            summary = summary ? *summary + "; " + line : line;
        }
    }
    return summary;
}

std::map<std::string, UploadCounters> SpooledUploadPipe::counters() const {
    return uploader_->stats();
}

Task<void> SpooledUploadPipe::addToLocalCopy(std::string path, std::string name) {
    if (spool_ && !settled_) {
        // Named before the co_await: GCC 12 destroys temporaries of a co_await
        // operand twice.
        auto adopting = spool_->adoptFile(std::move(path), std::move(name));
        co_await std::move(adopting);
    }
}

Task<void> SpooledUploadPipe::discardLocalCopy() {
    if (!spool_ || settled_) {
        co_return;
    }
    settled_ = true;
    co_await spool_->discard();
}

Task<std::optional<std::string>> SpooledUploadPipe::keepLocalCopy() {
    if (!spool_ || settled_) {
        co_return keptPath_;
    }
    settled_ = true;
    std::vector<SavedCopy> saved;
    bool savedAll = false;
    std::shared_ptr<SessionSpool> spool = spool_;
    const std::filesystem::path videos = options_.videosFolder;
    try {
        auto saving = spool->onDisk([&saved, &savedAll, spool, videos] {
            saved = saveLocalCopies(spool->folder(), spool->manifest(), videos);
            savedAll = true;
        });
        co_await std::move(saving);
    } catch (const CancelledError&) {
        throw;
    } catch (...) {
        logging::handled(kComponent, "saving the local copy", std::current_exception(),
                         logging::Level::error);
    }
    if (savedAll) {
        co_await spool->discard();
    } else {
        // The spool stays; the next launch recovers it.
        logging::warning(kComponent, "the spool of " + spool->manifest().recordingID +
                                         " stays in " + spool->folder().string());
    }
    if (!saved.empty()) {
        keptPath_ = saved.front().file.string();
        logging::info(kComponent, "saved a local copy: " + *keptPath_);
    }
    co_return keptPath_;
}

}  // namespace tessera
