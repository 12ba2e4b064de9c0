#include "capture/RecordingStartSequence.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "app/AppState.h"
#include "capture/CaptureController.h"
#include "capture/ServerAdapters.h"
#include "capture/spool/SpooledUploadPipe.h"
#include "media/EncoderSettings.h"
#include "server/APIClient.h"
#include "server/SegmentUploader.h"
#include "server/ShareLink.h"
#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera {

namespace {

constexpr const char* kScreenPermissionRequired =
    "Screen Recording permission is required. Enable Tessera Recorder under System Settings → "
    "Privacy & Security → Screen & System Audio Recording, then relaunch the app.";
constexpr const char* kMicrophoneDenied =
    "Microphone access was denied. Turn the microphone toggle off or grant access in System "
    "Settings.";
constexpr const char* kCameraDenied =
    "Camera access was denied. Turn the camera toggle off or grant access in System Settings.";
constexpr const char* kNoWindowSelected = "No window selected to record.";
constexpr const char* kWindowGone =
    "The selected window is no longer available — reopen the menu to refresh the window list.";
constexpr const char* kNoDisplay = "No display found to record";
constexpr const char* kVideoMime = "video/mp4;codecs=avc1";

// The pen overlay is looked up once more, after this pause, when the first
// listing of the windows does not have it yet.
constexpr double kOverlayLookupRetrySeconds = 0.1;

const ContentWindow* findWindow(const ShareableContent& content,
                                std::optional<std::uint32_t> windowID) {
    if (!windowID || *windowID == 0) {
        return nullptr;
    }
    for (const ContentWindow& window : content.windows) {
        if (window.windowID == *windowID) {
            return &window;
        }
    }
    return nullptr;
}

PixelSize pixelSizeOf(const Rect& frame) {
    // X11 points are pixels.
    return fitWithinH264Limits(std::llround(frame.size.width), std::llround(frame.size.height));
}

}  // namespace

std::vector<std::uint32_t> ownWindowsToExclude(const ShareableContent& content, pid_t ownProcessID,
                                               const std::vector<std::uint32_t>& kept,
                                               std::optional<std::uint32_t> overlayWindowID) {
    std::vector<std::uint32_t> excluded;
    for (const ContentWindow& window : content.windows) {
        if (!window.owner || window.owner->processID != ownProcessID) {
            continue;
        }
        if (std::find(kept.begin(), kept.end(), window.windowID) != kept.end() ||
            window.windowID == overlayWindowID) {
            continue;
        }
        excluded.push_back(window.windowID);
    }
    return excluded;
}

Task<ShareableContent> RecordingStartSequence::fetchContent() {
    ShareableContent content;
    content.displays = ports_.displays.monitors();
    content.windows = co_await ports_.windowList.shareableWindows();
    co_return content;
}

Task<void> RecordingStartSequence::prepare(StartContext context) {
    AppState& state = context.state;
    CaptureSession& session = context.session;

    const bool permitted = ports_.screenPermission.preflight();
    state.setHasScreenPermission(permitted);
    if (!permitted) {
        ports_.screenPermission.request();
        throw RecorderError(kScreenPermissionRequired);
    }
    if (state.micEnabled() && !co_await ports_.access.requestAccess(MediaDevice::microphone)) {
        throw RecorderError(kMicrophoneDenied);
    }
    if (state.cameraEnabled() && !co_await ports_.access.requestAccess(MediaDevice::camera)) {
        throw RecorderError(kCameraDenied);
    }
    co_await checkCancellation();

    bool cameraStream = false;
    co_await prepareCamera(context, cameraStream);

    if (state.captureMode() == CaptureMode::display) {
        state.setDrawingUnavailable(false);
        auto overlay = ports_.windows.makeDrawingOverlay();
        overlay->setOnExitDrawMode([controller = context.controller] {
            if (auto* self = controller.get()) {
                self->setDrawModeEnabled(false);
            }
        });
        overlay->setPenColor(strokeColor(state.penColor()), glowColor(state.penColor()));
        overlay->show(context.sessionDisplayID);
        context.drawingOverlay = std::move(overlay);
    } else {
        state.setDrawingUnavailable(true);
        if (!state.selectedWindowID()) {
            throw RecorderError(kNoWindowSelected);
        }
    }

    ShareableContent content = co_await fetchContent();
    PixelSize size;
    ContentFilter filter = co_await chooseTarget(context, content, size);

    StreamConfiguration configuration;
    configuration.width = size.width;
    configuration.height = size.height;
    configuration.queueDepth = 6;
    configuration.pixelFormat = StreamConfiguration::kPixelFormatBGRA;
    configuration.colorSpaceName = "sRGB";
    configuration.minimumFrameInterval = MediaTime(1, state.frameRate());
    configuration.showsCursor = state.showCursor();
    configuration.showMouseClicks = state.highlightClicks();
    configuration.capturesAudio = state.systemAudioEnabled();
    configuration.sampleRate = 48000;
    configuration.channelCount = 2;
    configuration.excludesCurrentProcessAudio = true;
    if (state.micEnabled()) {
        configuration.captureMicrophone = true;
        if (!state.selectedMicID().empty()) {
            configuration.microphoneCaptureDeviceID = state.selectedMicID();
        }
    }
    session.filter = filter;
    session.configuration = configuration;

    CreateRecordingRequest request;
    request.hasCamera = state.cameraEnabled();
    request.hasAudio = state.micEnabled() || state.systemAudioEnabled();
    request.screenMime = kVideoMime;
    if (state.cameraEnabled()) {
        request.cameraMime = kVideoMime;
    }
    request.width = static_cast<int>(size.width);
    request.height = static_cast<int>(size.height);
    request.source = "native";

    // Named before the co_await: GCC 12 destroys temporaries of a co_await
    // operand twice.
    auto creating = createRecording(state, ports_.http, std::move(request), ports_.endpoints);
    CreatedRecording created = co_await std::move(creating);
    if (!isSafeRecordingID(created.info.id)) {
        // Every later chunk, finalize and delete would fail on such an id, and
        // the recording cannot even be deleted through it.
        throw RecorderError("The server answered with an unusable recording id \"" +
                            created.info.id + "\".");
    }
    const std::string recordingID = created.info.id;
    session.api = std::make_shared<ApiSessionServer>(created.api);
    session.recordingID = recordingID;
    co_await checkCancellation();

    const Url link =
        shareLinkFor(created.info.shareUrl, std::nullopt, created.api.base(), recordingID);
    if (state.autoCopyLink()) {
        ports_.share.copyToClipboard(link);
    }
    state.setShareURL(link);

    auto pipe = std::make_shared<SpooledUploadPipe>(
        ports_.executor, created.api, recordingID,
        cameraStream ? session.cameraContinuation : std::nullopt, makeSpool(recordingID),
        SpooledUploadPipe::Options{ports_.uploadMemoryWindowBytes, ports_.localCopies
                                                                       ? ports_.localCopies->videos
                                                                       : std::filesystem::path()});
    auto screenSink = pipe->screenSink();
    session.pipe = std::move(pipe);

    SegmentWriter::Configuration writer;
    writer.width = size.width;
    writer.height = size.height;
    writer.frameRate = state.frameRate();
    writer.bitrate = bitrateFor(state.videoQuality(), size);
    writer.systemAudio = state.systemAudioEnabled();
    writer.segmentSeconds = 2;
    SessionRecorders recorders =
        ports_.media.makeRecorders(writer, std::move(screenSink), state.micEnabled());
    session.micWriter = recorders.mic;
    auto recorder = recorders.screen;
    recorder->setOnStreamStopped([executor = ports_.executor.ref(),
                                  controller = context.controller](std::exception_ptr error) {
        logging::handled("start", "the capture stream stopped", error);
        executor.post([controller] {
            if (auto* self = controller.get()) {
                self->streamStopped();
            }
        });
    });
    session.screenRecorder = std::move(recorder);
}

std::shared_ptr<SessionSpool> RecordingStartSequence::makeSpool(const std::string& recordingID) {
    if (!ports_.localCopies) {
        return nullptr;
    }
    try {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        return SessionSpool::create(
            ports_.localCopies->sessions,
            {recordingID, std::chrono::duration_cast<std::chrono::seconds>(now).count()});
    } catch (...) {
        // The recording goes on without a local copy, as it did before there
        // was one.
        logging::handled("start", "starting the local copy", std::current_exception());
        return nullptr;
    }
}

Task<void> RecordingStartSequence::prepareCamera(StartContext& context, bool& cameraStream) {
    AppState& state = context.state;
    if (!state.cameraEnabled()) {
        co_return;
    }
    if (!context.cameraRecorder) {
        auto camera = ports_.cameras.makeCameraRecorder();
        if (auto* controller = context.controller.get()) {
            controller->attach(*camera);
        }
        std::optional<std::string> deviceID;
        if (!state.selectedCameraID().empty()) {
            deviceID = state.selectedCameraID();
        }
        std::exception_ptr failure;
        try {
            auto preview =
                camera->startPreview(deviceID, state.cameraMirrored(), context.sessionDisplayID);
            co_await std::move(preview);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            try {
                co_await camera->stopSession();
            } catch (...) {
                logging::handled("start", "closing a camera that failed to start",
                                 std::current_exception());
            }
            std::rethrow_exception(failure);
        }
        context.cameraRecorder = std::move(camera);
    }
    context.session.cameraContinuation = AsyncQueue<SegmentBytes>();
    cameraStream = true;
}

Task<ContentFilter> RecordingStartSequence::chooseTarget(StartContext& context,
                                                         const ShareableContent& first,
                                                         PixelSize& size) {
    AppState& state = context.state;
    if (state.captureMode() == CaptureMode::window) {
        const ContentWindow* window = findWindow(first, state.selectedWindowID());
        if (!window) {
            throw RecorderError(kWindowGone);
        }
        co_await checkCancellation();
        size = pixelSizeOf(window->frame);
        co_return ContentFilter::window(window->windowID);
    }

    ShareableContent content = first;
    std::optional<std::uint32_t> overlayID;
    if (context.drawingOverlay) {
        overlayID = context.drawingOverlay->windowID();
    }
    const ContentWindow* overlay = findWindow(content, overlayID);
    if (!overlay && context.drawingOverlay) {
        // A just-mapped window may not be listed yet: bring it up, wait a
        // moment and look once more.
        context.drawingOverlay->orderFront();
        co_await sleepFor(seconds(kOverlayLookupRetrySeconds));
        content = co_await fetchContent();
        overlay = findWindow(content, overlayID);
    }
    state.setDrawingInvisibleInCapture(overlay == nullptr);

    const MonitorInfo* display = nullptr;
    for (const MonitorInfo& candidate : content.displays) {
        if (candidate.id == state.selectedDisplayID()) {
            display = &candidate;
            break;
        }
    }
    if (!display && !content.displays.empty()) {
        display = &content.displays.front();
    }
    if (!display) {
        throw RecorderError(kNoDisplay);
    }
    co_await checkCancellation();

    std::vector<std::uint32_t> kept;
    if (overlay) {
        kept.push_back(overlay->windowID);
    }
    if (state.stripVisibility() == StripVisibility::always) {
        if (const ContentWindow* strip = findWindow(content, context.controlStripWindowID)) {
            kept.push_back(strip->windowID);
        }
    }
    size = pixelSizeOf(display->frame);
    co_return ContentFilter::display(
        display->id, ownWindowsToExclude(content, ports_.ownProcessID, kept, overlayID), kept);
}

Task<void> RecordingStartSequence::startCapture(StartContext context) {
    CaptureSession& session = context.session;
    co_await checkCancellation();
    if (!session.screenRecorder || !session.filter || !session.configuration) {
        throw RecorderError("The recording was not prepared.");
    }
    auto recorder = session.screenRecorder;
    auto starting = recorder->start(*session.filter, *session.configuration);
    co_await std::move(starting);
    co_await checkCancellation();
    if (session.cameraContinuation && context.cameraRecorder) {
        context.cameraRecorder->beginRecording([queue = *session.cameraContinuation](
                                                   SegmentBytes bytes) mutable {
            if (!queue.push(std::move(bytes))) {
                logging::warning("start", "a camera segment arrived after its queue was closed");
            }
        });
    }
}

}  // namespace tessera
