#pragma once

// A real recording session inside a Qt test executable (QtTestMain's X server
// with its window manager and QApplication): the production start sequence and
// controller on the Qt main-thread executor, the real floating windows (pen
// overlay, control strip, countdown), X11 capture and writers, and curl
// uploads to a web app. Only the hot keys, level meter, share actions,
// notifications, device access and the controller's camera are doubles; the
// microphone, system audio and camera stay off.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "capture/CaptureController.h"
#include "capture/MediaSession.h"
#include "capture/RecordingStartSequence.h"
#include "overlays/widgets/ControlStripWindow.h"
#include "overlays/widgets/PenOverlay.h"
#include "overlays/widgets/QtWindowFactory.h"
#include "platform/X11CaptureStream.h"
#include "platform/desktop/QtMainExecutor.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Windows.h"
#include "server/CurlTransport.h"
#include "support/HostClock.h"
#include "support/QtTestEnvironment.h"
#include "unit/capture/ControllerDoubles.h"

namespace tessera::testing {

// The production windows, remembered so that a test can find them on screen.
class ObservedWindows final : public WindowFactory {
  public:
    explicit ObservedWindows(overlays::QtWindowFactory& inner) : inner_(inner) {}

    std::unique_ptr<CountdownOverlay> makeCountdown() override { return inner_.makeCountdown(); }
    std::unique_ptr<ControlStrip> makeControlStrip(AppState& state,
                                                   WeakController controller) override {
        auto made = inner_.makeControlStrip(state, std::move(controller));
        strip = dynamic_cast<overlays::ControlStripPanel*>(made.get());
        return made;
    }
    std::unique_ptr<DrawingOverlay> makeDrawingOverlay() override {
        auto made = inner_.makeDrawingOverlay();
        penOverlay = dynamic_cast<overlays::PenOverlay*>(made.get());
        return made;
    }

    // The last strip and pen overlay made; valid while the controller holds
    // them (the strip for the recording mode, the overlay for the recording).
    overlays::ControlStripPanel* strip = nullptr;
    overlays::PenOverlay* penOverlay = nullptr;

  private:
    overlays::QtWindowFactory& inner_;
};

// Counts the screen segments the writer has handed to the upload pipe.
class CountedSegments final : public SessionMediaFactory {
  public:
    explicit CountedSegments(SessionMediaFactory& inner) : inner_(inner) {}
    SessionRecorders makeRecorders(const SegmentWriter::Configuration& writer,
                                   std::function<void(SegmentBytes)> sink,
                                   bool withMicrophone) override {
        return inner_.makeRecorders(
            writer,
            [this, sink = std::move(sink)](SegmentBytes bytes) {
                sink(std::move(bytes));
                ++segments;
            },
            withMicrophone);
    }
    // Writer thread writes, any thread reads.
    std::atomic<int> segments{0};

  private:
    SessionMediaFactory& inner_;
};

struct QtSessionRig {
    explicit QtSessionRig(const std::string& serverBase)
        : sequence(RecordingStartPorts{
              .executor = executor,
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
        state->setOpenShareInBrowser(false);
        controller = std::make_unique<CaptureController>(
            *state,
            CaptureControllerPorts{executor, hotKeys, windows, meter, sequence, share,
                                   notifications, cameras, access},
            main);
    }
    ~QtSessionRig() {
        if (controller) {
            controller->exitRecordingMode();
        }
        controller.reset();
    }
    QtSessionRig(const QtSessionRig&) = delete;
    QtSessionRig& operator=(const QtSessionRig&) = delete;

    bool runUntilPhase(RecorderPhase::Kind kind, std::chrono::seconds timeout) {
        return processEventsUntil([&] { return state->phase().is(kind); }, timeout);
    }
    // The server's id of the recording, from its share link.
    std::string recordingID() const {
        const std::string link = state->shareURL() ? state->shareURL()->toString() : "";
        return link.substr(link.rfind('/') + 1);
    }

    QtMainExecutor executor;
    SystemHostClock clock;
    InMemorySettingsStore store;
    FixedScreenPermission permission;
    NoRelaunch relauncher;
    FakeHotKeys hotKeys;
    FakeMicMeter meter;
    FakeShare share;
    FakeNotifications notifications;
    FakeCameraFactory cameras;
    FakeDeviceAccess access;
    X11DisplaySource displays{qtTestDisplay()};
    X11WindowSource windowList{qtTestDisplay()};
    overlays::QtWindowFactory qtWindows{executor, displays};
    ObservedWindows windows{qtWindows};
    X11CaptureStreamFactory streams{qtTestDisplay(), clock};
    MediaSessionFactory realMedia{streams, clock};
    CountedSegments media{realMedia};
    RecordingStartSequence sequence;
    std::unique_ptr<AppState> state;
    std::unique_ptr<CaptureController> controller;
};

}  // namespace tessera::testing
