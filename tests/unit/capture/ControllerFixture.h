#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "ControllerDoubles.h"
#include "app/SettingsStore.h"

namespace tessera::testing {

class ControllerTest : public ::testing::Test {
  protected:
    using Kind = RecorderPhase::Kind;

    void SetUp() override { makeController(); }

    void makeController() {
        controller.reset();
        state = std::make_unique<AppState>(store, permission, relauncher, 1);
        controller = std::make_unique<CaptureController>(
            *state,
            CaptureControllerPorts{executor, hotKeys, windows, meter, startSequence(), share,
                                   notifications, cameras, access},
            1);
        controller->setMainPanel(panel);
    }

    Kind phase() const { return state->phase().kind(); }
    // The start sequence the controller is built with.
    virtual StartSequence& startSequence() { return sequence; }

  public:
    // Brings a fresh controller into a phase.
    void enter(Kind target) {
        switch (target) {
            case Kind::idle:
                return;
            case Kind::countingDown:
                state->setCountdownEnabled(true);
                controller->start();
                executor.runUntilIdle();
                return;
            case Kind::preparing:
                state->setCountdownEnabled(false);
                controller->start();
                executor.runUntilIdle();
                return;
            case Kind::recording:
                return startRecording();
            case Kind::paused:
                startRecording();
                return controller->pause();
            case Kind::finishing:
                startRecording();
                spawn(executor, controller->stop());
                executor.runUntilIdle();
                return;
            case Kind::done:
                startRecording();
                return finish(controller->stop());
            case Kind::error:
                sequence.prepareFailure =
                    std::make_exception_ptr(std::runtime_error("The server refused the upload."));
                state->setCountdownEnabled(false);
                controller->start();
                executor.advance(seconds(2));
                return;
        }
    }

  protected:
    // Runs an asynchronous operation to its end on virtual time.
    template <class T>
    void finish(Task<T> operation, double budgetSeconds = 60) {
        auto handle = spawn(executor, std::move(operation));
        executor.runUntilIdle();
        for (double waited = 0; !handle.isDone() && waited < budgetSeconds; waited += 0.05) {
            executor.advance(seconds(0.05));
        }
        ASSERT_TRUE(handle.isDone());
    }

    // Starts without a countdown and runs until recording.
    void startRecording() {
        state->setCountdownEnabled(false);
        controller->start();
        executor.advance(seconds(1));
        ASSERT_EQ(phase(), Kind::recording);
    }

    std::string micFile() {
        auto dir = std::filesystem::temp_directory_path() /
                   ("tessera-controller-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        return (dir / "mic.m4a").string();
    }

    ManualExecutor executor;
    InMemorySettingsStore store;
    FixedScreenPermission permission;
    NoRelaunch relauncher;
    RequestLog log;
    FakeHotKeys hotKeys;
    FakeWindows windows;
    FakeMicMeter meter;
    FakeStartSequence sequence{log};
    FakeShare share;
    FakeNotifications notifications;
    FakeCameraFactory cameras;
    FakeDeviceAccess access;
    std::shared_ptr<FakeMainPanel> panel = std::make_shared<FakeMainPanel>();
    std::unique_ptr<AppState> state;
    std::unique_ptr<CaptureController> controller;
};

}  // namespace tessera::testing
