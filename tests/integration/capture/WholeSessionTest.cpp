// One whole recording through the production start sequence, recorders and
// uploads: a private X server with a window manager, a PulseAudio daemon
// playing a tone into the system audio and the fake microphone, and the
// reference web app on loopback. Only the windows (strip, countdown, pen
// overlay, panel), the hot keys and the notifications are doubles.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "MediaProbe.h"
#include "capture/MediaSession.h"
#include "capture/RecordingStartSequence.h"
#include "platform/X11CaptureStream.h"
#include "platform/desktop/LinuxDeviceAccess.h"
#include "platform/desktop/X11ScreenPermission.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Windows.h"
#include "server/CurlTransport.h"
#include "support/EventLoop.h"
#include "support/PulseSession.h"
#include "support/WebAppProcess.h"
#include "support/XvfbSession.h"
#include "unit/capture/ControllerDoubles.h"

namespace tessera::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Every request in the order the recorder sent it, as "METHOD path?query",
// and the body of the create request.
class RecordingTransport final : public HttpTransport {
  public:
    explicit RecordingTransport(std::shared_ptr<HttpTransport> inner) : inner_(std::move(inner)) {}

    Task<HttpResponse> send(HttpRequest request) override {
        {
            std::lock_guard lock(mutex_);
            const auto path = request.url.find('/', request.url.find("//") + 2);
            sent_.push_back(request.method + " " + request.url.substr(path));
            if (request.method == "POST" && request.url.ends_with("/api/recordings") &&
                request.body) {
                createBody_.assign(request.body->begin(), request.body->end());
            }
        }
        auto sending = inner_->send(std::move(request));
        co_return co_await std::move(sending);
    }

    std::vector<std::string> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    std::string createBody() const {
        std::lock_guard lock(mutex_);
        return createBody_;
    }

  private:
    std::shared_ptr<HttpTransport> inner_;
    mutable std::mutex mutex_;
    std::vector<std::string> sent_;
    std::string createBody_;
};

// The production recorders, remembered so the test can read their figures.
class ObservedMedia final : public SessionMediaFactory {
  public:
    explicit ObservedMedia(SessionMediaFactory& inner) : inner_(inner) {}
    SessionRecorders makeRecorders(const SegmentWriter::Configuration& writer,
                                   std::function<void(SegmentBytes)> onSegment,
                                   bool withMicrophone) override {
        auto made = inner_.makeRecorders(writer, std::move(onSegment), withMicrophone);
        screen = made.screen;
        return made;
    }
    std::shared_ptr<ScreenRecording> screen;

  private:
    SessionMediaFactory& inner_;
};

int indexOf(const std::vector<std::string>& sent, const std::string& prefix, bool last = false) {
    int found = -1;
    for (int i = 0; i < static_cast<int>(sent.size()); ++i) {
        if (sent[i].starts_with(prefix)) {
            found = i;
            if (!last) {
                break;
            }
        }
    }
    return found;
}

class WholeSessionTest : public ::testing::Test {
  protected:
    WholeSessionTest() {
        tmp_ = makeTempDirectory();
        setenv("TMPDIR", tmp_.c_str(), 1);
        store.set("serverBaseURL", web.baseUrl());
        state = std::make_unique<AppState>(store, permission, relauncher, mainDisplay());
        state->setCountdownEnabled(false);
        state->setCaptureMode(CaptureMode::display);
        state->setSelectedDisplayID(mainDisplay());
        state->setMicEnabled(true);
        state->setSelectedMicID("tessera_mic");
        state->setSystemAudioEnabled(true);
        state->setAutoCopyLink(true);
        state->setStripVisibility(StripVisibility::hidden);
        state->setRecordingNotes("A whole session");
        controller = std::make_unique<CaptureController>(
            *state,
            CaptureControllerPorts{loop, hotKeys, windows, meter, sequence, share, notifications,
                                   cameras, access},
            mainDisplay());
    }
    ~WholeSessionTest() override {
        controller.reset();
        unsetenv("TMPDIR");
        std::filesystem::remove_all(tmp_);
    }

    std::uint32_t mainDisplay() {
        X11DisplaySource source(x.display());
        return source.mainDisplayID();
    }
    bool runUntilPhase(RecorderPhase::Kind kind, int timeoutSeconds) {
        return loop.runUntil([&] { return state->phase().is(kind); }, seconds(timeoutSeconds));
    }
    // Keeps the picture moving for `duration` while the session runs.
    void recordFor(std::chrono::milliseconds duration) {
        const auto end = Clock::now() + duration;
        while (Clock::now() < end) {
            box.fill(++frame % 2 ? 0x2060C0 : 0xE0A020);
            loop.runUntil([] { return false; }, seconds(0.1));
        }
    }

    XvfbSession x{{640, 480, true}};
    PulseSession pulse;
    TonePlayer tone{440, 0.5};
    WebAppProcess web;
    TestWindow box{x.display(), {.x = 40, .y = 40, .width = 240, .height = 180}};
    int frame = 0;
    std::filesystem::path tmp_;

    EventLoop loop;
    SystemHostClock clock;
    InMemorySettingsStore store;
    X11ScreenPermission permission{x.display()};
    NoRelaunch relauncher;
    FakeHotKeys hotKeys;
    FakeWindows windows;
    FakeMicMeter meter;
    FakeShare share;
    FakeNotifications notifications;
    FakeCameraFactory cameras;
    LinuxDeviceAccess access;
    X11DisplaySource displays{x.display()};
    X11WindowSource windowList{x.display()};
    X11CaptureStreamFactory streams{x.display(), clock};
    MediaSessionFactory realMedia{streams, clock};
    ObservedMedia media{realMedia};
    std::shared_ptr<RecordingTransport> http =
        std::make_shared<RecordingTransport>(std::make_shared<CurlTransport>());
    RecordingStartSequence sequence{RecordingStartPorts{
        .executor = loop,
        .screenPermission = permission,
        .access = access,
        .cameras = cameras,
        .windows = windows,
        .displays = displays,
        .windowList = windowList,
        .media = media,
        .share = share,
        .http = http,
        .endpoints = {web.baseUrl(), "http://127.0.0.1:" + std::to_string(unusedLoopbackPort())},
        .ownProcessID = getpid(),
    }};
    std::unique_ptr<AppState> state;
    std::unique_ptr<CaptureController> controller;
};

TEST_F(WholeSessionTest, RecordsPausesResumesStopsAndFinalizes) {
    controller->start();
    ASSERT_TRUE(runUntilPhase(RecorderPhase::Kind::recording, 30)) << state->phase().message();
    const auto started = Clock::now();
    recordFor(std::chrono::seconds(6));
    controller->pause();
    const auto paused = Clock::now();
    recordFor(std::chrono::seconds(2));
    controller->resume();
    const auto resumed = Clock::now();
    recordFor(std::chrono::seconds(2));
    const auto stopAt = Clock::now();
    spawn(loop, controller->stop());
    ASSERT_TRUE(runUntilPhase(RecorderPhase::Kind::done, 120)) << state->phase().message();
    const double stopToLink = std::chrono::duration<double>(Clock::now() - stopAt).count();
    const double active =
        std::chrono::duration<double>((paused - started) + (stopAt - resumed)).count();

    const auto sent = http->sent();
    const auto stats = media.screen->stats();
    std::printf(
        "[ figures  ] stop -> link %.3f s; frames captured %lld, written %lld, dropped %lld; "
        "active time %.2f s; %zu requests\n",
        stopToLink, static_cast<long long>(stats.framesCaptured),
        static_cast<long long>(stats.framesWritten), static_cast<long long>(stats.framesDropped),
        active, sent.size());

    EXPECT_EQ(http->createBody(),
              R"({"hasCamera":false,"hasAudio":true,"screenMime":"video/mp4;codecs=avc1",)"
              R"("width":640,"height":480,"source":"native"})");
    ASSERT_TRUE(state->shareURL());
    const std::string link = state->shareURL()->toString();
    const std::string id = link.substr(link.rfind('/') + 1);
    // Copied once the server answered the create, and again when the link is ready.
    ASSERT_EQ(share.copied.size(), 2u);
    EXPECT_EQ(share.copied[0], link);
    EXPECT_EQ(share.copied[1], link);

    // Every screen chunk, then the microphone file, then finalize, then the notes.
    const int lastScreen = indexOf(sent, "POST /api/recordings/" + id + "/chunk?kind=screen", true);
    const int mic = indexOf(sent, "POST /api/recordings/" + id + "/chunk?kind=mic");
    const int finalize = indexOf(sent, "POST /api/recordings/" + id + "/finalize");
    const int notes = indexOf(sent, "PATCH /api/recordings/" + id);
    ASSERT_GE(lastScreen, 1);
    EXPECT_LT(lastScreen, mic);
    EXPECT_LT(mic, finalize);
    EXPECT_LT(finalize, notes);
    EXPECT_EQ(web.recording(id).value("status", ""), "ready");

    const auto mediaDir = web.dataDir() / "media" / id;
    const MediaProbe screen = probeFile(mediaDir / "screen.mp4");
    ASSERT_TRUE(screen.video && screen.audio);
    const double videoSeconds = screen.video->endSeconds - screen.video->startSeconds;
    EXPECT_NEAR(videoSeconds, active, 0.3);
    EXPECT_NEAR(videoSeconds, 8.0, 0.5);
    EXPECT_EQ(screen.video->codec, "h264");
    EXPECT_EQ(screen.video->profile, 100);       // High
    EXPECT_EQ(screen.video->colorPrimaries, 1);  // BT.709
    EXPECT_EQ(screen.video->colorSpace, 1);
    EXPECT_EQ(screen.audio->codec, "aac");

    const MediaProbe micFile = probeFile(mediaDir / "mic.m4a");
    ASSERT_TRUE(micFile.audio);
    EXPECT_NEAR(micFile.audio->endSeconds, videoSeconds, 0.2);
    // The microphone file was uploaded and then removed from the temporary folder.
    EXPECT_TRUE(std::filesystem::is_empty(tmp_));
}

}  // namespace
}  // namespace tessera::testing
