#pragma once

// Doubles for the capture controller's ports: they record what they were asked
// and answer as the test set them up; timed answers run on virtual time.

#include <deque>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/AppState.h"
#include "capture/CaptureController.h"
#include "support/AppStateDoubles.h"
#include "support/ManualExecutor.h"

namespace tessera::testing {

// An error as a server request fails with it.
inline std::exception_ptr serverError(const std::string& message) {
    return std::make_exception_ptr(std::runtime_error(message));
}

// Every request a session sends, in order.
using RequestLog = std::vector<std::string>;

struct FakeServer : SessionServer {
    explicit FakeServer(RequestLog& log) : log(log) {}
    RequestLog& log;
    std::deque<std::exception_ptr> uploadFailures;    // consumed per upload
    std::deque<std::exception_ptr> finalizeFailures;  // consumed per finalize
    std::exception_ptr updateFailure;
    FinalizeResult finalizeReply{"ready", "http://127.0.0.1:3123/v/rec-1", std::nullopt};
    std::string lastDescription;

    static void throwNext(std::deque<std::exception_ptr>& failures) {
        if (!failures.empty()) {
            auto failure = failures.front();
            failures.pop_front();
            std::rethrow_exception(failure);
        }
    }

    Url baseURL() const override { return *Url::parse("http://127.0.0.1:3123"); }
    Task<void> uploadChunk(const std::string& id, const std::string& kind,
                           std::shared_ptr<const std::vector<std::uint8_t>> data) override {
        log.push_back("upload " + kind + " " + id + " " + std::to_string(data->size()));
        co_await sleepFor(seconds(0.05));
        throwNext(uploadFailures);
    }
    Task<FinalizeResult> finalize(const std::string& id) override {
        log.push_back("finalize " + id);
        co_await sleepFor(seconds(0.05));
        throwNext(finalizeFailures);
        co_return finalizeReply;
    }
    Task<void> update(const std::string& id, const std::string& description) override {
        log.push_back("update " + id);
        lastDescription = description;
        co_await sleepFor(seconds(0.05));
        if (updateFailure) {
            std::rethrow_exception(updateFailure);
        }
    }
    Task<void> deleteRecording(const std::string& id) override {
        log.push_back("delete " + id);
        co_await sleepFor(seconds(0.05));
    }
};

struct FakeScreenRecorder : ScreenRecording {
    std::vector<std::string> calls;
    bool hadFrames = true;
    bool throwOnCancel = false;
    bool throwOnStop = false;
    std::optional<ContentFilter> filter;
    std::optional<StreamConfiguration> configuration;
    void setOnStreamStopped(std::function<void(std::exception_ptr)>) override {}
    Task<void> start(ContentFilter chosen, StreamConfiguration how) override {
        calls.push_back("start");
        filter = std::move(chosen);
        configuration = std::move(how);
        co_return;
    }
    void pause() override { calls.push_back("pause"); }
    void resume() override { calls.push_back("resume"); }
    void setMicMuted(bool muted) override { calls.push_back(muted ? "mute" : "unmute"); }
    Task<bool> stop() override {
        calls.push_back("stop");
        co_await sleepFor(seconds(0.1));
        if (throwOnStop) {
            throw std::runtime_error("capture thread gone");
        }
        co_return hadFrames;
    }
    Task<void> cancel() override {
        calls.push_back("cancel");
        co_await sleepFor(seconds(0.1));
        if (throwOnCancel) {
            throw std::runtime_error("capture thread gone");
        }
    }
    std::optional<std::string> writerError() const override { return std::nullopt; }
    ScreenRecorderStats stats() const override { return {}; }
};

struct FakeMicWriter : MicRecording {
    explicit FakeMicWriter(std::string path) : file(std::move(path)) {
        std::ofstream(file) << "m4a bytes";
    }
    std::string file;
    bool writing = true;
    int deletes = 0;
    bool throwOnFinish = false;
    Task<bool> finish() override {
        writing = false;
        if (throwOnFinish) {
            throw std::runtime_error("disk gone");
        }
        co_return true;
    }
    bool isWriting() const override { return writing; }
    void cancelWriting() override { writing = false; }
    void deleteFile() override {
        ++deletes;
        std::remove(file.c_str());
    }
    std::string path() const override { return file; }
};

// Closing at stop shows in the request log, to check the order of the stop.
struct FakeUploadPipe : UploadPipe {
    explicit FakeUploadPipe(RequestLog& log) : log(log) {}
    RequestLog& log;
    std::optional<std::string> summary;
    bool closedAtCancel = false;
    Task<void> closeAtStop() override {
        log.push_back("segments drained");
        co_return;
    }
    void closeAtCancel() override { closedAtCancel = true; }
    std::optional<std::string> failureSummary() const override { return summary; }
    std::map<std::string, UploadCounters> counters() const override {
        return {{"screen", UploadCounters{4, 1, 0, 4096}}};
    }
    // What happened to the local copy: "add <name>", "keep", "discard".
    std::vector<std::string> localCopy;
    std::optional<std::string> keptPath = "/videos/Tessera Recorder/copy.mp4";
    Task<void> addToLocalCopy(std::string, std::string name) override {
        localCopy.push_back("add " + name);
        co_return;
    }
    Task<void> discardLocalCopy() override {
        localCopy.push_back("discard");
        co_return;
    }
    Task<std::optional<std::string>> keepLocalCopy() override {
        localCopy.push_back("keep");
        co_return keptPath;
    }
};

struct FakeMainPanel : MainPanel {
    bool visible = false;
    int shows = 0;
    void show() override {
        visible = true;
        ++shows;
    }
    void hide() override { visible = false; }
    bool isVisible() const override { return visible; }
};

struct FakeControlStrip : ControlStrip {
    bool visible = false;
    std::uint32_t display = 0;
    void show(std::uint32_t id) override {
        visible = true;
        display = id;
    }
    void hide() override { visible = false; }
    void move(std::uint32_t id) override { display = id; }
    std::optional<std::uint32_t> windowID() const override { return 0x500001; }
};

struct FakeDrawingOverlay : DrawingOverlay {
    bool drawMode = false;
    std::vector<std::string> banners;
    bool closed = false;
    void setOnExitDrawMode(std::function<void()>) override {}
    void setPenColor(const RgbaColor&, const RgbaColor&) override {}
    void show(std::uint32_t) override {}
    void setDrawMode(bool on) override { drawMode = on; }
    void showBanner(const std::string& text) override { banners.push_back(text); }
    std::optional<std::uint32_t> windowID() const override { return 0x500002; }
    void orderFront() override {}
    void close() override { closed = true; }
};

// The cameras of one test: how many previews are open now, and every call.
struct CameraLog {
    int openPreviews = 0;
    int made = 0;
    std::vector<std::string> calls;
};

// Opens its preview after 0.2 s of virtual time; fails or throws on stop
// where the test says.
struct FakeCamera : CameraRecording {
    explicit FakeCamera(std::shared_ptr<CameraLog> log) : log(std::move(log)) {}
    std::shared_ptr<CameraLog> log;
    std::exception_ptr previewFailure;
    bool throwOnCancel = false;
    bool previewOpen = false;
    std::optional<std::string> deviceID;
    BubbleMenuActions menu;
    std::function<void(double)> onResized;

    Task<void> startPreview(std::optional<std::string> device, bool, std::uint32_t) override {
        deviceID = device;
        co_await sleepFor(seconds(0.2));
        if (previewFailure) {
            std::rethrow_exception(previewFailure);
        }
        previewOpen = true;
        ++log->openPreviews;
    }
    void beginRecording(std::function<void(SegmentBytes)>) override {}
    void setMenuActions(BubbleMenuActions actions) override { menu = std::move(actions); }
    void setOnBubbleResized(std::function<void(double)> hook) override {
        onResized = std::move(hook);
    }
    void pause() override { log->calls.push_back("pause"); }
    void resume() override { log->calls.push_back("resume"); }
    Task<void> finishRecording() override {
        log->calls.push_back("finishRecording");
        co_return;
    }
    Task<void> cancelRecording() override {
        log->calls.push_back("cancelRecording");
        co_await sleepFor(seconds(0.05));
        if (throwOnCancel) {
            throw std::runtime_error("camera gone");
        }
    }
    Task<void> stopSession() override {
        log->calls.push_back("stopSession");
        co_await sleepFor(seconds(0.05));
        if (previewOpen) {
            previewOpen = false;
            --log->openPreviews;
        }
    }
    void moveBubble(std::uint32_t display) override {
        log->calls.push_back("moveBubble " + std::to_string(display));
    }
    void hideBubble() override { log->calls.push_back("hideBubble"); }
    void orderBubbleFront() override { log->calls.push_back("front"); }
    void orderBubbleOut() override { log->calls.push_back("out"); }
    void setBubbleSize(double) override {}
    void setFullScreen(bool) override {}
    void setEffectSettings(const CameraEffectSettings&) override {}
};

struct FakeCameraFactory : CameraFactory {
    std::shared_ptr<CameraLog> log = std::make_shared<CameraLog>();
    std::exception_ptr nextPreviewFailure;
    std::shared_ptr<FakeCamera> last;
    std::shared_ptr<CameraRecording> makeCameraRecorder() override {
        ++log->made;
        last = std::make_shared<FakeCamera>(log);
        last->previewFailure = std::exchange(nextPreviewFailure, nullptr);
        return last;
    }
};

// Answers access requests after 0.1 s of virtual time.
struct FakeDeviceAccess : DeviceAccess {
    bool camera = true;
    bool microphone = true;
    Task<bool> requestAccess(MediaDevice device) override {
        co_await sleepFor(seconds(0.1));
        co_return device == MediaDevice::camera ? camera : microphone;
    }
};

// What happened to one countdown window; it outlives the window, which the
// controller destroys when its start task ends.
struct CountdownRecord {
    std::function<void()> onCancel;
    bool shown = false;
    bool closed = false;
    int shownSeconds = 0;
};

// Counts down on the virtual clock; the cancel action is kept for the test to
// press.
struct FakeCountdown : CountdownOverlay {
    explicit FakeCountdown(std::shared_ptr<CountdownRecord> record) : record(std::move(record)) {}
    std::shared_ptr<CountdownRecord> record;
    void setOnCancel(std::function<void()> action) override {
        record->onCancel = std::move(action);
    }
    void show(std::uint32_t, int seconds) override {
        record->shown = true;
        record->shownSeconds = seconds;
    }
    Task<void> run(int secondsToCount) override { co_await sleepFor(seconds(secondsToCount)); }
    void close() override { record->closed = true; }
};

struct FakeWindows : WindowFactory {
    std::shared_ptr<CountdownRecord> lastCountdown;
    FakeControlStrip* strip = nullptr;
    std::unique_ptr<CountdownOverlay> makeCountdown() override {
        lastCountdown = std::make_shared<CountdownRecord>();
        return std::make_unique<FakeCountdown>(lastCountdown);
    }
    std::unique_ptr<ControlStrip> makeControlStrip(AppState&, WeakController) override {
        auto made = std::make_unique<FakeControlStrip>();
        strip = made.get();
        return made;
    }
    std::unique_ptr<DrawingOverlay> makeDrawingOverlay() override {
        return std::make_unique<FakeDrawingOverlay>();
    }
};

struct FakeHotKeys : GlobalHotKey {
    std::map<int, std::pair<HotKeyCombo, std::function<void()>>> registered;
    void registerHotKey(int id, HotKeyCombo combo, std::function<void()> action) override {
        registered[id] = {combo, std::move(action)};
    }
    void unregisterHotKey(int id) override { registered.erase(id); }
    void press(int id) {
        auto found = registered.find(id);
        if (found != registered.end()) {
            found->second.second();
        }
    }
};

struct FakeMicMeter : MicMeter {
    bool active = false;
    void start() override { active = true; }
    void stop() override { active = false; }
    bool isActive() const override { return active; }
};

struct FakeShare : ShareActions {
    std::vector<std::string> copied;
    std::vector<std::string> opened;
    void copyToClipboard(const Url& link) override { copied.push_back(link.toString()); }
    void openInBrowser(const Url& link) override { opened.push_back(link.toString()); }
};

struct FakeNotifications : ReadyNotifications {
    std::vector<std::pair<std::string, std::string>> posted;
    bool isBundled() const override { return true; }
    Task<Authorization> authorization() override { co_return Authorization::authorized; }
    Task<bool> requestAuthorization() override { co_return true; }
    Task<void> post(const std::string& title, const std::string& body) override {
        posted.emplace_back(title, body);
        co_return;
    }
};

// Creates a server recording after a short delay, a screen recorder, with the
// microphone on a microphone writer, and in display mode a pen overlay; fails
// where the test says.
struct FakeStartSequence : StartSequence {
    explicit FakeStartSequence(RequestLog& log) : log(log) {}
    RequestLog& log;
    std::exception_ptr prepareFailure;
    std::exception_ptr captureFailure;
    std::string micPath;
    std::shared_ptr<FakeServer> server;
    std::shared_ptr<FakeScreenRecorder> screen;
    std::shared_ptr<FakeMicWriter> mic;
    std::shared_ptr<FakeUploadPipe> uploads;
    int prepares = 0;
    FakeDrawingOverlay* overlay = nullptr;

    Task<void> prepare(StartContext context) override {
        ++prepares;
        if (context.state.captureMode() == CaptureMode::display) {
            auto made = std::make_unique<FakeDrawingOverlay>();
            overlay = made.get();
            context.drawingOverlay = std::move(made);
        }
        co_await sleepFor(seconds(0.2));  // the create request
        log.push_back("create");
        server = std::make_shared<FakeServer>(log);
        screen = std::make_shared<FakeScreenRecorder>();
        uploads = std::make_shared<FakeUploadPipe>(log);
        auto& session = context.session;
        session.api = server;
        session.recordingID = "rec-1";
        session.pipe = uploads;
        session.screenRecorder = screen;
        if (context.state.micEnabled() && !micPath.empty()) {
            mic = std::make_shared<FakeMicWriter>(micPath);
            session.micWriter = mic;
        }
        context.state.setShareURL(*Url::parse("http://127.0.0.1:3123/v/rec-1"));
        if (prepareFailure) {
            std::rethrow_exception(prepareFailure);
        }
    }
    Task<void> startCapture(StartContext) override {
        co_await sleepFor(seconds(0.1));
        if (captureFailure) {
            std::rethrow_exception(captureFailure);
        }
    }
};

}  // namespace tessera::testing
