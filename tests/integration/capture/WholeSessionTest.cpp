// Whole recordings through the production start sequence, recorders, uploads
// and local copies: a private X server with a window manager, a PulseAudio
// daemon whose null sink feeds the system audio and the fake microphone, and
// the reference web app on loopback. Only the windows, the hot keys and the
// notifications are doubles.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <thread>

#include "BeepPlayer.h"
#include "MediaProbe.h"
#include "capture/MediaSession.h"
#include "capture/RecordingStartSequence.h"
#include "platform/X11CaptureStream.h"
#include "platform/desktop/LinuxDeviceAccess.h"
#include "platform/desktop/X11ScreenPermission.h"
#include "platform/pulse/PulseMicLevelInput.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Windows.h"
#include "server/CurlTransport.h"
#include "support/EventLoop.h"
#include "support/FragmentedMp4.h"
#include "support/Log.h"
#include "support/PulseSession.h"
#include "support/TempDir.h"
#include "support/WebAppProcess.h"
#include "support/XvfbSession.h"
#include "unit/capture/ControllerDoubles.h"

namespace tessera::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Kind = RecorderPhase::Kind;

std::vector<fs::path> entriesOf(const fs::path& folder) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        found.push_back(entry.path());
    }
    return found;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
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
    bool runUntilPhase(Kind kind, int timeoutSeconds) {
        return loop.runUntil([&] { return state->phase().is(kind); }, seconds(timeoutSeconds));
    }
    // Keeps the picture moving for `duration` while the session runs: a
    // static screen is encoded as few frames, and lengths are read from frames.
    void recordFor(std::chrono::milliseconds duration) {
        recordUntil([end = Clock::now() + duration] { return Clock::now() >= end; });
    }
    bool recordUntil(const std::function<bool()>& done) {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (!done()) {
            if (Clock::now() > deadline) {
                return false;
            }
            box.fill(++frame % 2 ? 0x2060C0 : 0xE0A020);
            loop.runUntil(done, seconds(0.05));
        }
        return true;
    }
    std::string recordingID() const {
        const std::string link = state->shareURL() ? state->shareURL()->toString() : "";
        return link.substr(link.rfind('/') + 1);
    }

    XvfbSession x{{640, 480, true}};
    PulseSession pulse;
    WebAppProcess web;
    // In the middle of the screen, so the picture's centre shows it.
    TestWindow box{x.display(),
                   {.x = 200, .y = 150, .width = 240, .height = 180, .overrideRedirect = true}};
    int frame = 0;
    std::filesystem::path tmp_;
    TempDir copies;
    LocalCopyFolders folders{copies.path() / "sessions", copies.path() / "Videos"};

    EventLoop loop;
    SystemHostClock clock;
    InMemorySettingsStore store;
    X11ScreenPermission permission{x.display()};
    NoRelaunch relauncher;
    FakeHotKeys hotKeys;
    FakeWindows windows;
    MicLevelMeter levelMeter{{.main = loop,
                              .makeInput = PulseMicLevelInput::factory(
                                  [] { return std::optional<std::string>("tessera_mic"); }),
                              .isAuthorized = [] {
                                  return true;
                              }}};
    LevelMeterPort meter{levelMeter};
    FakeShare share;
    FakeNotifications notifications;
    FakeCameraFactory cameras;
    LinuxDeviceAccess access;
    X11DisplaySource displays{x.display()};
    X11WindowSource windowList{x.display()};
    X11CaptureStreamFactory streams{x.display(), clock};
    MediaSessionFactory media{streams, clock};
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
        .http = std::make_shared<CurlTransport>(),
        .endpoints = {web.baseUrl(), "http://127.0.0.1:" + std::to_string(unusedLoopbackPort())},
        .ownProcessID = getpid(),
        .localCopies = folders,
    }};
    std::unique_ptr<AppState> state;
    std::unique_ptr<CaptureController> controller;
};

// The level preview hears a tone before the start. Then, at the same host time,
// a white flash of the recorded window and a beep into the system audio, four
// times; a pause; a resume; the stop. The recording is ready with its notes
// and no local copy is left; read back, the files last the active time (a
// chunk that came after finalize would be missing), and each flash's first
// frame and its beep's onset lie within one frame at 30 fps plus device
// latency, in the screen video's own audio and in the separate microphone file
// (the fake microphone hears the same sink).
TEST_F(WholeSessionTest, RecordsInSyncPausesResumesStopsAndFinalizes) {
    constexpr int kMarkers = 4;
    {
        TonePlayer tone(440, 0.5);
        controller->enterRecordingMode(false);
        ASSERT_TRUE(loop.runUntil([&] { return levelMeter.level() > 0.1; }, seconds(10)))
            << "the level preview hears the microphone";
    }
    box.fill(0x202020);
    // The pointer rests in the middle of the screen, where the flash is read.
    state->setShowCursor(false);
    BeepPlayer beeper("tessera_null");
    std::string summary;
    logging::LogCapture capture(
        [&](logging::Level, std::string_view component, std::string_view message) {
            if (component == "recording") {
                summary = message;
            }
        });
    controller->start();
    ASSERT_TRUE(runUntilPhase(Kind::recording, 30)) << state->phase().message();
    EXPECT_FALSE(levelMeter.isActive()) << "the level preview stops at the start";
    EXPECT_EQ(entriesOf(folders.sessions).size(), 1u) << "the spool exists while recording";
    const auto started = Clock::now();
    // How much later than its beep each flash reached the X server: a busy
    // machine may wake the marker thread late, which is not the recorder's delay.
    std::vector<double> flashLag;
    std::vector<Clock::time_point> beepAt;
    std::atomic<bool> markersDone = false;
    std::jthread markers([&] {
        for (int i = 0; i < kMarkers; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            const auto at = beeper.beep();
            beepAt.push_back(at);
            std::this_thread::sleep_until(at);
            box.fill(0xFFFFFF);  // returns once the server has painted it
            flashLag.push_back(std::chrono::duration<double>(Clock::now() - at).count());
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            box.fill(0x202020);
        }
        markersDone = true;
    });
    ASSERT_TRUE(loop.runUntil([&] { return markersDone.load(); }, seconds(30)));
    // The moving picture never reaches the flash's brightness.
    recordFor(std::chrono::seconds(1));
    controller->pause();
    const auto paused = Clock::now();
    recordFor(std::chrono::seconds(2));
    controller->resume();
    const auto resumed = Clock::now();
    recordFor(std::chrono::seconds(2));
    const auto stopAt = Clock::now();
    spawn(loop, controller->stop());
    ASSERT_TRUE(runUntilPhase(Kind::done, 120)) << state->phase().message();
    const double active =
        std::chrono::duration<double>((paused - started) + (stopAt - resumed)).count();
    std::printf("[ figures  ] stop -> link %.3f s; active time %.2f s; %s\n",
                std::chrono::duration<double>(Clock::now() - stopAt).count(), active,
                summary.c_str());

    ASSERT_TRUE(state->shareURL());
    const std::string link = state->shareURL()->toString();
    const std::string id = recordingID();
    {
        SCOPED_TRACE("the session's link, notes and local copy");
        EXPECT_NE(summary.find("ready: 640x480 at 30 fps"), std::string::npos) << summary;
        // Copied once the server answered the create, and again when the link is ready.
        EXPECT_EQ(share.copied, (std::vector<std::string>{link, link}));
        EXPECT_EQ(web.recording(id).value("status", ""), "ready");
        EXPECT_EQ(web.recording(id).value("description", ""), "A whole session");
        EXPECT_EQ(state->statusMessage(), std::nullopt);
        EXPECT_TRUE(entriesOf(folders.sessions).empty()) << "no spool is left";
        EXPECT_EQ(state->localCopyPath(), std::nullopt) << "the server has it all";
        EXPECT_TRUE(entriesOf(folders.videos).empty());
    }

    const auto mediaDir = web.dataDir() / "media" / id;
    const MediaProbe screen = probeFile(mediaDir / "screen.mp4");
    const MediaProbe mic = probeFile(mediaDir / "mic.m4a");
    ASSERT_TRUE(screen.video && screen.audio && mic.audio);
    {
        SCOPED_TRACE("the stored files");
        const double videoSeconds = screen.video->endSeconds - screen.video->startSeconds;
        EXPECT_NEAR(videoSeconds, active, 0.3) << "the pause is left out";
        EXPECT_NEAR(mic.audio->endSeconds, videoSeconds, 0.2);
        EXPECT_TRUE(std::filesystem::is_empty(tmp_)) << "the uploaded microphone file is removed";
    }

    const auto flashes =
        onsets(screen.video->centreLuma, 0, 100, 200, 1, &screen.video->frameSeconds);
    // Each marker's beep is found by its host time: the beeps of a track lie at
    // those times shifted by one constant, so the shift that lines up the most
    // beeps names them. A starved machine may lose a beep or a flash, or grab a
    // flash late; so most markers must match, each within three frames, and
    // their median within one frame plus device latency: a fault in the time
    // stamps moves them all.
    std::vector<double> sentAt;
    for (const auto& at : beepAt) {
        sentAt.push_back(std::chrono::duration<double>(at - beepAt.front()).count());
    }
    auto beepOfEachMarker = [&](const std::vector<double>& found) {
        std::vector<std::optional<double>> best(kMarkers);
        int bestCount = 0;
        for (double candidate : found) {
            for (double sent : sentAt) {
                const double shift = candidate - sent;
                std::vector<std::optional<double>> named(kMarkers);
                int count = 0;
                for (int i = 0; i < kMarkers; ++i) {
                    for (double beep : found) {
                        if (std::abs(beep - sentAt[i] - shift) < 0.03) {
                            named[i] = beep;
                            ++count;
                            break;
                        }
                    }
                }
                if (count > bestCount) {
                    bestCount = count;
                    best = named;
                }
            }
        }
        return best;
    };
    for (const auto& [track, peaks] :
         {std::pair{"screen video's audio", &screen.audio->peakPerMillisecond},
          std::pair{"microphone file", &mic.audio->peakPerMillisecond}}) {
        SCOPED_TRACE(track);
        const auto named = beepOfEachMarker(onsets(*peaks, 0.001, 0.05, 0.3, 300, nullptr, 5));
        std::vector<double> offsets;
        for (int i = 0; i < kMarkers; ++i) {
            if (!named[i]) {
                std::printf("[ figures  ] marker %d: no beep in the %s\n", i, track);
                continue;
            }
            // The first flash frame after the beep and the flash's own lag.
            const double expected = *named[i] + flashLag[i];
            const auto flash = std::find_if(flashes.begin(), flashes.end(),
                                            [&](double f) { return f > expected - 0.15; });
            if (flash == flashes.end() || *flash > expected + 0.5) {
                std::printf("[ figures  ] marker %d: no flash near its beep in the %s\n", i, track);
                continue;
            }
            offsets.push_back(*flash - expected);
            std::printf("[ figures  ] marker %d in the %s: video behind audio by %+.0f ms\n", i,
                        track, offsets.back() * 1000);
            EXPECT_LE(std::abs(offsets.back()), 0.1) << "marker " << i;
        }
        ASSERT_GE(offsets.size(), static_cast<size_t>(kMarkers - 1)) << "markers matched";
        EXPECT_LE(std::abs(median(offsets)), 0.045) << "median offset";
    }
}

// With "keep a local copy" on, a session that reaches the server whole leaves
// a copy and no spool; in the next the server drops every chunk request from
// second 3 to second 9 of 12 (once it holds a media segment, so that it has a
// video): it ends with a warning, and its local copy holds all of it.
TEST_F(WholeSessionTest, TheLocalCopyIsKeptWhenAskedOrWhenTheServerMissedSegments) {
    state->setMicEnabled(false);
    state->setSystemAudioEnabled(false);
    for (const bool serverDown : {false, true}) {
        SCOPED_TRACE(serverDown ? "server down for six seconds" : "every copy kept");
        state->setKeepLocalCopy(!serverDown);
        controller->start();
        ASSERT_TRUE(runUntilPhase(Kind::recording, 60)) << state->phase().message();
        const auto started = Clock::now();
        auto elapsed = [&](double at) {
            return [this, at] {
                return state->elapsed() >= at;
            };
        };
        ASSERT_TRUE(recordUntil(elapsed(3)));
        if (serverDown) {
            ASSERT_TRUE(
                recordUntil([&] { return web.storedChunks(recordingID(), "screen").size() >= 2; }));
            web.addFault({{"route", "chunk"}, {"count", -1}, {"drop", true}});
            ASSERT_TRUE(recordUntil(elapsed(9)));
            web.clearFaults();
            ASSERT_TRUE(recordUntil(elapsed(12)));
        }
        const double active = std::chrono::duration<double>(Clock::now() - started).count();
        spawn(loop, controller->stop());
        ASSERT_TRUE(runUntilPhase(Kind::done, 120)) << state->phase().message();

        EXPECT_TRUE(entriesOf(folders.sessions).empty()) << "no spool is left";
        if (serverDown) {
            ASSERT_TRUE(state->statusMessage());
            EXPECT_NE(state->statusMessage()->find("screen segments failed to upload"),
                      std::string::npos)
                << *state->statusMessage();
        }
        ASSERT_TRUE(state->localCopyPath());
        const fs::path copy = *state->localCopyPath();
        EXPECT_EQ(entriesOf(folders.videos), std::vector<fs::path>{copy}) << "one copy";
        const MediaFacts facts = readMedia(copy);
        ASSERT_TRUE(facts.opened);
        EXPECT_NEAR(facts.videoSeconds, active, serverDown ? 0.5 : 0.6);
        controller->acknowledgeDone();
        fs::remove(copy);
    }
}

}  // namespace
}  // namespace tessera::testing
