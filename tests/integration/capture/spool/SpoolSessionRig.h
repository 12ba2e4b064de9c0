#pragma once

// A real recording session with a local copy: the production start sequence,
// X11 capture and writers against a web app, on an X display given by name.
// Only the windows, hot keys, meter and notifications are doubles; the
// microphone, camera and system audio stay off.

#include <unistd.h>

#include <atomic>
#include <functional>

#include "capture/CaptureController.h"
#include "capture/MediaSession.h"
#include "capture/RecordingStartSequence.h"
#include "platform/X11CaptureStream.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Windows.h"
#include "server/CurlTransport.h"
#include "support/EventLoop.h"
#include "unit/capture/ControllerDoubles.h"

namespace tessera::testing {

// Calls `onSegment` after each screen segment went into the pipe (writer thread).
class SegmentObserver final : public SessionMediaFactory {
  public:
    explicit SegmentObserver(SessionMediaFactory& inner) : inner_(inner) {}
    SessionRecorders makeRecorders(const SegmentWriter::Configuration& writer,
                                   std::function<void(SegmentBytes)> sink,
                                   bool withMicrophone) override {
        return inner_.makeRecorders(
            writer,
            [this, sink = std::move(sink)](SegmentBytes bytes) {
                const std::size_t size = bytes.size();
                sink(std::move(bytes));
                bytesSeen += size;
                const int count = ++segments;
                if (onSegment) {
                    onSegment(count, bytesSeen.load());
                }
            },
            withMicrophone);
    }
    std::atomic<int> segments{0};
    std::atomic<std::uint64_t> bytesSeen{0};
    std::function<void(int, std::uint64_t)> onSegment;

  private:
    SessionMediaFactory& inner_;
};

struct SpoolSessionRig {
    SpoolSessionRig(const std::string& display, const std::string& serverBase,
                    LocalCopyFolders folders)
        : displayName(display),
          displays(display),
          windowList(display),
          streams(display, clock),
          sequence(RecordingStartPorts{
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
              .endpoints = {serverBase, serverBase},
              .ownProcessID = getpid(),
              .localCopies = std::move(folders),
          }) {
        store.set("serverBaseURL", serverBase);
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
    ~SpoolSessionRig() { controller.reset(); }

    bool runUntil(const std::function<bool()>& done, double timeoutSeconds) {
        return loop.runUntil(done, seconds(timeoutSeconds));
    }
    bool runUntilPhase(RecorderPhase::Kind kind, double timeoutSeconds) {
        return runUntil([&] { return state->phase().is(kind); }, timeoutSeconds);
    }

    std::string displayName;
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
    X11DisplaySource displays;
    X11WindowSource windowList;
    X11CaptureStreamFactory streams;
    MediaSessionFactory realMedia{streams, clock};
    SegmentObserver media{realMedia};
    RecordingStartSequence sequence;
    std::unique_ptr<AppState> state;
    std::unique_ptr<CaptureController> controller;
};

}  // namespace tessera::testing
