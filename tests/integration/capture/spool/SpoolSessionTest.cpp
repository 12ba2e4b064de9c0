// Whole recordings with a local copy: the production start sequence, X11
// capture and writers on a private X server with a window manager, uploading
// to the reference web app. Only the windows, hot keys, meter and
// notifications are doubles; the microphone, camera and system audio stay off.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "capture/CaptureController.h"
#include "capture/MediaSession.h"
#include "capture/RecordingStartSequence.h"
#include "capture/spool/LocalCopy.h"
#include "platform/X11CaptureStream.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Windows.h"
#include "server/CurlTransport.h"
#include "support/EventLoop.h"
#include "support/FragmentedMp4.h"
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

class SpoolSessionTest : public ::testing::Test {
  protected:
    SpoolSessionTest() {
        setenv("TMPDIR", dir.path().c_str(), 1);
        store.set("serverBaseURL", web.baseUrl());
        const std::uint32_t main = displays.mainDisplayID();
        state = std::make_unique<AppState>(store, permission, relauncher, main);
        state->setCountdownEnabled(false);
        state->setCaptureMode(CaptureMode::display);
        state->setSelectedDisplayID(main);
        state->setMicEnabled(false);
        state->setSystemAudioEnabled(false);
        state->setCameraEnabled(false);
        state->setStripVisibility(StripVisibility::hidden);
        state->setOpenShareInBrowser(false);
        controller = std::make_unique<CaptureController>(
            *state,
            CaptureControllerPorts{loop, hotKeys, windows, meter, sequence, share, notifications,
                                   cameras, access},
            main);
    }
    ~SpoolSessionTest() override {
        controller.reset();
        unsetenv("TMPDIR");
    }

    bool runUntilPhase(Kind kind) {
        return loop.runUntil([&] { return state->phase().is(kind); }, seconds(120));
    }
    // Runs the session until its clock reaches `elapsed`, repainting a window
    // all the while: a static screen is encoded as few frames, and the copies'
    // lengths are read from their frames.
    bool recordUntil(double elapsed) {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (state->elapsed() < elapsed) {
            if (Clock::now() > deadline) {
                return false;
            }
            box.fill(++frame % 2 ? 0x2060C0 : 0xE0A020);
            loop.runUntil([&] { return state->elapsed() >= elapsed; }, seconds(0.05));
        }
        return true;
    }

    XvfbSession x{{640, 480, true}};
    TestWindow box{x.display(),
                   {.x = 200, .y = 150, .width = 240, .height = 180, .overrideRedirect = true}};
    int frame = 0;
    WebAppProcess web;
    TempDir dir;
    LocalCopyFolders folders{dir.path() / "state" / "tessera-recorder" / "sessions",
                             dir.path() / "Videos"};

    EventLoop loop;
    SystemHostClock clock;
    InMemorySettingsStore store;
    FixedScreenPermission permission;
    NoRelaunch relauncher;
    FakeHotKeys hotKeys;
    FakeWindows windows;
    FakeMicMeter meter;
    FakeShare share;
    FakeNotifications notifications;
    FakeCameraFactory cameras;
    FakeDeviceAccess access;
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
        .endpoints = {web.baseUrl(), web.baseUrl()},
        .ownProcessID = getpid(),
        .localCopies = folders,
    }};
    std::unique_ptr<AppState> state;
    std::unique_ptr<CaptureController> controller;
};

// Three sessions on one rig. One that reaches the server whole leaves neither
// a spool folder nor a copy; with "keep a local copy" on, the next leaves a
// copy and no spool; in the last the server drops every chunk request from
// second 3 to second 9 of 12: it ends with a warning, and its local copy holds
// all of it.
TEST_F(SpoolSessionTest, TheLocalCopyIsKeptWhenAskedOrWhenTheServerMissedSegments) {
    struct Session {
        const char* name;
        bool keep;
        bool serverDown;
    };
    for (const Session& s : {Session{"arrives whole", false, false},
                             Session{"arrives whole, every copy kept", true, false},
                             Session{"server down for six seconds", false, true}}) {
        SCOPED_TRACE(s.name);
        state->setKeepLocalCopy(s.keep);
        controller->start();
        ASSERT_TRUE(runUntilPhase(Kind::recording)) << state->phase().message();
        const auto started = Clock::now();
        ASSERT_EQ(entriesOf(folders.sessions).size(), 1u) << "the spool exists while recording";
        ASSERT_TRUE(recordUntil(3));
        if (s.serverDown) {
            web.addFault({{"route", "chunk"}, {"count", -1}, {"drop", true}});
            ASSERT_TRUE(recordUntil(9));
            web.clearFaults();
            ASSERT_TRUE(recordUntil(12));
        }
        const double active = std::chrono::duration<double>(Clock::now() - started).count();
        spawn(loop, controller->stop());
        ASSERT_TRUE(runUntilPhase(Kind::done)) << state->phase().message();

        EXPECT_TRUE(entriesOf(folders.sessions).empty()) << "no spool is left";
        if (s.serverDown) {
            ASSERT_TRUE(state->statusMessage());
            EXPECT_NE(state->statusMessage()->find("screen segments failed to upload"),
                      std::string::npos)
                << *state->statusMessage();
        } else {
            EXPECT_EQ(state->statusMessage(), std::nullopt);
        }
        if (!s.keep && !s.serverDown) {
            EXPECT_EQ(state->localCopyPath(), std::nullopt);
            EXPECT_TRUE(entriesOf(folders.videos).empty());
        } else {
            ASSERT_TRUE(state->localCopyPath());
            const fs::path copy = *state->localCopyPath();
            EXPECT_EQ(copy.parent_path(), folders.videos);
            if (s.keep) {
                EXPECT_EQ(entriesOf(folders.videos), std::vector<fs::path>{copy});
            }
            const MediaFacts facts = readMedia(copy);
            ASSERT_TRUE(facts.opened);
            EXPECT_NEAR(facts.videoSeconds, active, s.serverDown ? 0.5 : 0.6);
        }
        controller->acknowledgeDone();
    }
}

}  // namespace
}  // namespace tessera::testing
