#include <gtest/gtest.h>

#include <algorithm>

#include "ControllerFixture.h"
#include "capture/RecordingStartSequence.h"
#include "support/FakeHttpTransport.h"

namespace tessera::testing {
namespace {

struct FakeDisplays : DisplaySource {
    std::vector<MonitorInfo> list{
        {1, "eDP-1", Rect(0, 0, 1920, 1080), Rect(0, 0, 1920, 1050), true},
        {2, "HDMI-1", Rect(1920, 0, 2560, 1440), Rect(1920, 0, 2560, 1440), false}};
    std::vector<MonitorInfo> monitors() override { return list; }
    std::uint32_t mainDisplayID() override { return 1; }
};

// The n-th listing can be told to leave some windows out.
struct FakeWindowList : WindowSource {
    std::vector<ContentWindow> list;
    std::vector<std::vector<std::uint32_t>> hiddenPerListing;
    int listings = 0;
    Task<std::vector<ContentWindow>> shareableWindows() override {
        std::vector<ContentWindow> shown = list;
        if (listings < static_cast<int>(hiddenPerListing.size())) {
            const auto& hidden = hiddenPerListing[listings];
            std::erase_if(shown, [&](const ContentWindow& window) {
                return std::find(hidden.begin(), hidden.end(), window.windowID) != hidden.end();
            });
        }
        ++listings;
        co_return shown;
    }
};

struct FakeMedia : SessionMediaFactory {
    std::string micPath;
    std::shared_ptr<FakeScreenRecorder> screen;
    std::function<void(SegmentBytes)> onSegment;
    std::optional<SegmentWriter::Configuration> writer;
    SessionRecorders makeRecorders(const SegmentWriter::Configuration& config,
                                   std::function<void(SegmentBytes)> segment,
                                   bool withMicrophone) override {
        writer = config;
        onSegment = std::move(segment);
        screen = std::make_shared<FakeScreenRecorder>();
        SessionRecorders made{screen, nullptr};
        if (withMicrophone) {
            made.mic = std::make_shared<FakeMicWriter>(micPath);
        }
        return made;
    }
};

HttpResponse ok(std::string body) {
    return HttpResponse{200, std::move(body)};
}

bool contains(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

constexpr std::uint32_t kStripWindow = 0x500001;
constexpr std::uint32_t kOverlayWindow = 0x500002;
constexpr std::uint32_t kBubbleWindow = 0x500003;
constexpr std::uint32_t kEditorWindow = 0x2000007;
constexpr pid_t kOwnPid = 4242;

class StartSequenceTest : public ControllerTest {
  protected:
    StartSequenceTest() {
        const WindowOwner own{kOwnPid, "tessera-recorder", "tessera-recorder"};
        const WindowOwner editor{777, "Editor", "editor"};
        windowList.list = {
            {kEditorWindow, editor, "notes.txt", Rect(100, 100, 801, 601)},
            {kStripWindow, own, "strip", Rect(10, 10, 300, 50)},
            {kBubbleWindow, own, "bubble", Rect(1700, 20, 160, 160)},
            {kOverlayWindow, own, "pen", Rect(0, 0, 1920, 1080)},
        };
        http->responder =
            [this](const HttpRequest& request) -> std::optional<FakeHttpTransport::Outcome> {
            if (refused(request.url)) {
                return TransportError(TransportErrorCode::cannotConnectToHost, "refused");
            }
            if (request.method == "POST" && request.url.ends_with("/api/recordings")) {
                return ok(createReply);
            }
            if (request.method == "GET") {
                return ok("[]");
            }
            return ok("{}");
        };
    }

    StartSequence& startSequence() override { return real; }

    bool refused(const std::string& url) const {
        return refusedBase && url.starts_with(*refusedBase);
    }
    std::vector<std::string> urls(const std::string& method) const {
        std::vector<std::string> found;
        for (const HttpRequest& request : http->requests) {
            if (request.method == method) {
                found.push_back(request.url);
            }
        }
        return found;
    }
    // Starts without a countdown and runs until the start has ended.
    void startAndSettle() {
        state->setCountdownEnabled(false);
        controller->start();
        executor.advance(seconds(2));
    }

    std::shared_ptr<FakeHttpTransport> http = std::make_shared<FakeHttpTransport>();
    std::string createReply = R"({"id":"rec-9","status":"recording"})";
    std::optional<std::string> refusedBase;
    FakeDisplays displays;
    FakeWindowList windowList;
    FakeMedia media;
    RecordingStartSequence real{RecordingStartPorts{
        .executor = executor,
        .screenPermission = permission,
        .access = access,
        .cameras = cameras,
        .windows = windows,
        .displays = displays,
        .windowList = windowList,
        .media = media,
        .share = share,
        .http = http,
        .endpoints = {},
        .ownProcessID = kOwnPid,
    }};
};

// A display recording leaves out the strip and bubble but keeps the pen
// overlay; the create request describes the stream; segments go up as screen
// chunks.
TEST_F(StartSequenceTest, ADisplayRecordingLeavesOutOwnWindowsAndKeepsThePen) {
    state->setMicEnabled(true);
    media.micPath = micFile();
    state->setSystemAudioEnabled(true);
    state->setAutoCopyLink(true);
    state->setSelectedDisplayID(2);
    startAndSettle();

    ASSERT_EQ(phase(), Kind::recording);
    ASSERT_TRUE(media.screen && media.screen->filter);
    const ContentFilter& filter = *media.screen->filter;
    EXPECT_EQ(filter.kind, ContentFilter::Kind::display);
    EXPECT_EQ(filter.displayID, 2u);
    // The recording test of the overlays reads the same choices back from real frames.
    EXPECT_TRUE(contains(filter.exceptingWindowIDs, kOverlayWindow));
    EXPECT_EQ(filter.excludedWindowIDs, (std::vector<std::uint32_t>{kStripWindow, kBubbleWindow}));

    const StreamConfiguration& config = *media.screen->configuration;
    EXPECT_EQ(config.width, 2560);
    EXPECT_EQ(config.height, 1440);
    EXPECT_TRUE(config.capturesAudio);
    EXPECT_TRUE(config.captureMicrophone);
    EXPECT_TRUE(media.writer->systemAudio);

    ASSERT_EQ(urls("POST").size(), 1u);
    const HttpRequest& create = http->requests.front();
    ASSERT_TRUE(create.body);
    EXPECT_EQ(std::string(create.body->begin(), create.body->end()),
              R"({"hasCamera":false,"hasAudio":true,"screenMime":"video/mp4;codecs=avc1",)"
              R"("width":2560,"height":1440,"source":"native"})");
    EXPECT_EQ(share.copied, std::vector<std::string>{"http://127.0.0.1:3123/v/rec-9"});
    EXPECT_EQ(state->statusMessage(), "Link copied ✓");

    media.onSegment(SegmentBytes(1000, 7));
    executor.advance(seconds(1));
    const auto posts = urls("POST");
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_NE(posts[1].find("/api/recordings/rec-9/chunk?kind=screen"), std::string::npos);
}

// The pen overlay may show up in the window list late: a second look-up finds
// it; if it is still missing the user is told the pen will not be recorded.
TEST_F(StartSequenceTest, AnOverlayListedOnlyLaterIsFoundOnTheSecondLookUp) {
    windowList.hiddenPerListing = {{kOverlayWindow}};
    startAndSettle();
    ASSERT_EQ(phase(), Kind::recording);
    EXPECT_EQ(windowList.listings, 2);
    EXPECT_FALSE(state->drawingInvisibleInCapture());

    finish(controller->cancel());
    windowList.listings = 0;
    windowList.hiddenPerListing = {{kOverlayWindow}, {kOverlayWindow}, {}};
    startAndSettle();
    ASSERT_EQ(phase(), Kind::recording);
    EXPECT_EQ(windowList.listings, 2);
    EXPECT_TRUE(state->drawingInvisibleInCapture());
}

TEST_F(StartSequenceTest, AGoneDisplayFallsBackToTheFirstAndAGoneWindowFails) {
    state->setSelectedDisplayID(99);
    startAndSettle();
    ASSERT_EQ(phase(), Kind::recording);
    EXPECT_EQ(media.screen->filter->displayID, 1u);
    finish(controller->cancel());

    state->setCaptureMode(CaptureMode::window);
    state->setSelectedWindowID(kEditorWindow);
    startAndSettle();
    ASSERT_EQ(phase(), Kind::recording);
    EXPECT_EQ(media.screen->filter->kind, ContentFilter::Kind::window);
    // Odd sizes are made even for H.264.
    EXPECT_EQ(media.screen->configuration->width, 800);
    EXPECT_EQ(media.screen->configuration->height, 600);
    finish(controller->cancel());

    const auto before = urls("POST").size();
    state->setSelectedWindowID(0x7777);
    startAndSettle();
    EXPECT_EQ(state->phase(),
              RecorderPhase::error("The selected window is no longer available — reopen the menu "
                                   "to refresh the window list."));
    EXPECT_EQ(urls("POST").size(), before);
}

TEST_F(StartSequenceTest, RefusedPermissionsFailBeforeAnythingIsCreated) {
    permission.granted = false;
    startAndSettle();
    EXPECT_TRUE(state->phase().isError());
    EXPECT_EQ(permission.requests, 1);
    EXPECT_FALSE(state->hasScreenPermission());
    EXPECT_TRUE(http->requests.empty());

    permission.granted = true;
    controller->dismissError();
    state->setMicEnabled(true);
    access.microphone = false;
    startAndSettle();
    EXPECT_EQ(state->phase(),
              RecorderPhase::error("Microphone access was denied. Turn the microphone toggle off "
                                   "or grant access in System Settings."));
    EXPECT_TRUE(http->requests.empty());
    EXPECT_EQ(windowList.listings, 0);
}

TEST_F(StartSequenceTest, ServerBaseProblemsFailOrFallBackForTheWholeSession) {
    state->settingsStore().set("serverBaseURL", "not a url");
    startAndSettle();
    EXPECT_EQ(state->phase(), RecorderPhase::error("Invalid server URL: not a url"));
    controller->dismissError();

    state->settingsStore().remove("serverBaseURL");
    refusedBase = "http://127.0.0.1:3123";
    startAndSettle();
    ASSERT_EQ(phase(), Kind::recording);
    EXPECT_EQ(state->shareURL()->toString(), "http://127.0.0.1:3000/v/rec-9");
    media.onSegment(SegmentBytes(10, 1));
    executor.advance(seconds(1));
    EXPECT_TRUE(
        urls("POST").back().starts_with("http://127.0.0.1:3000/api/recordings/rec-9/chunk"));
}

// The link is out before the countdown ends; cancelling the countdown deletes
// the created recording and leaves the recorder open as before the start.
TEST_F(StartSequenceTest, CancellingTheCountdownDeletesTheCreatedRecording) {
    controller->enterRecordingMode(true);
    state->setCountdownEnabled(true);
    state->setCountdownDuration(5);
    state->setAutoCopyLink(true);
    controller->start();
    executor.advance(seconds(1));
    ASSERT_EQ(share.copied.size(), 1u);
    EXPECT_EQ(phase(), Kind::countingDown);
    windows.lastCountdown->onCancel();
    executor.advance(seconds(1));
    EXPECT_EQ(phase(), Kind::idle);
    EXPECT_EQ(urls("DELETE"),
              std::vector<std::string>{"http://127.0.0.1:3123/api/recordings/rec-9"});
    EXPECT_TRUE(windows.lastCountdown->closed);
    EXPECT_EQ(state->shareURL(), std::nullopt);
    EXPECT_TRUE(panel->visible) << "recording mode shows the panel again";
    EXPECT_TRUE(meter.active);
    executor.advance(seconds(10));
    EXPECT_EQ(phase(), Kind::idle) << "the countdown must not start the recording later";
}

// An id that could leave the server's folder fails the start before any
// recorder exists; a create the transport abandoned ends the start as cancelled.
TEST_F(StartSequenceTest, AnUnusableIDFailsTheStartAndAnAbandonedCreateCancelsIt) {
    createReply = R"({"id":"../../etc","status":"recording"})";
    startAndSettle();
    ASSERT_TRUE(state->phase().isError());
    EXPECT_NE(state->phase().message().find("unusable recording id"), std::string::npos);
    EXPECT_EQ(media.screen, nullptr);
    controller->dismissError();

    http->responder = [](const HttpRequest&) -> std::optional<FakeHttpTransport::Outcome> {
        return TransportError(TransportErrorCode::cancelled, "cancelled");
    };
    startAndSettle();
    EXPECT_EQ(phase(), Kind::idle);
    EXPECT_EQ(state->statusMessage(), "Recording canceled");
}

TEST_F(StartSequenceTest, TheOpenCameraPreviewIsRecordedAndAnnouncedToTheServer) {
    state->setCameraEnabled(true);
    controller->enterRecordingMode(false);
    executor.advance(seconds(1));
    auto preview = controller->cameraRecorder();
    ASSERT_NE(preview, nullptr);
    startAndSettle();
    ASSERT_EQ(phase(), Kind::recording);
    EXPECT_EQ(cameras.log->made, 1);
    EXPECT_EQ(controller->cameraRecorder(), preview);
    const auto create = std::find_if(http->requests.begin(), http->requests.end(),
                                     [](const HttpRequest& r) { return r.method == "POST"; });
    ASSERT_TRUE(create != http->requests.end() && create->body);
    EXPECT_EQ(std::string(create->body->begin(), create->body->end()),
              R"({"hasCamera":true,"hasAudio":true,"screenMime":"video/mp4;codecs=avc1",)"
              R"("cameraMime":"video/mp4;codecs=avc1","width":1920,"height":1080,)"
              R"("source":"native"})");
}

}  // namespace
}  // namespace tessera::testing
