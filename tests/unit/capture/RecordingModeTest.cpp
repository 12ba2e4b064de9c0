#include <gtest/gtest.h>

#include "ControllerFixture.h"
#include "support/RecorderError.h"

namespace tessera::testing {
namespace {

using RecordingModeTest = ControllerTest;

TEST_F(RecordingModeTest, CameraSwitchedQuicklyEndsWithOnePreviewOnlyWhenFinallyOn) {
    controller->enterRecordingMode(true);
    executor.runUntilIdle();
    // On, off, on while the access request and the preview are still pending.
    controller->setCameraEnabled(true);
    executor.runUntilIdle();
    controller->setCameraEnabled(false);
    controller->setCameraEnabled(true);
    executor.advance(seconds(2));
    EXPECT_EQ(cameras.log->openPreviews, 1);
    EXPECT_EQ(cameras.log->made, 1);
    ASSERT_NE(controller->cameraRecorder(), nullptr);

    // On, off: the preview that was opening is closed again.
    controller->setCameraEnabled(false);
    executor.advance(seconds(1));
    EXPECT_EQ(cameras.log->openPreviews, 0);
    controller->setCameraEnabled(true);
    executor.runUntilIdle();
    controller->setCameraEnabled(false);
    executor.advance(seconds(2));
    EXPECT_EQ(cameras.log->openPreviews, 0);
    EXPECT_EQ(controller->cameraRecorder(), nullptr);
}

TEST_F(RecordingModeTest, CameraThatCannotBeUsedIsTurnedOffWithTheReason) {
    controller->enterRecordingMode(true);
    access.camera = false;
    controller->setCameraEnabled(true);
    executor.advance(seconds(1));
    EXPECT_FALSE(state->cameraEnabled());
    EXPECT_EQ(state->statusMessage(), "Camera access was denied in System Settings.");
    EXPECT_EQ(cameras.log->made, 0);

    access.camera = true;
    cameras.nextPreviewFailure = std::make_exception_ptr(RecorderError("No camera available"));
    controller->setCameraEnabled(true);
    executor.advance(seconds(1));
    EXPECT_FALSE(state->cameraEnabled());
    EXPECT_EQ(state->statusMessage(), "No camera available");
    EXPECT_EQ(controller->cameraRecorder(), nullptr);
}

// A new camera device restarts the preview between recordings, never during one.
TEST_F(RecordingModeTest, DeviceChangeRestartsThePreviewOnlyWhileIdle) {
    state->setCameraEnabled(true);
    controller->enterRecordingMode(true);
    executor.advance(seconds(1));
    state->setSelectedCameraID("/dev/v4l/by-id/usb-cam-2");
    controller->cameraDeviceChanged();
    executor.advance(seconds(1));
    EXPECT_EQ(cameras.log->made, 2);
    EXPECT_EQ(cameras.last->deviceID, "/dev/v4l/by-id/usb-cam-2");
    EXPECT_EQ(cameras.log->openPreviews, 1);

    startRecording();
    controller->cameraDeviceChanged();
    executor.advance(seconds(1));
    EXPECT_EQ(cameras.log->made, 2);
}

// The bubble's close button turns the camera off; its menu and resize hooks
// do nothing once the controller is gone.
TEST_F(RecordingModeTest, TheBubbleMenuReachesTheStateOnlyWhileTheControllerLives) {
    state->setCameraEnabled(true);
    controller->enterRecordingMode(false);
    executor.advance(seconds(1));
    ASSERT_NE(cameras.last, nullptr);
    auto camera = cameras.last;
    const double size = state->cameraBubbleSize();
    camera->onResized(size + 30);
    EXPECT_EQ(state->cameraBubbleSize(), size + 30);
    camera->menu.close();
    executor.advance(seconds(1));
    EXPECT_FALSE(state->cameraEnabled());
    EXPECT_EQ(cameras.log->openPreviews, 0);

    controller.reset();
    camera->onResized(size + 60);
    camera->menu.close();
    camera->menu.advancedSettings();
    EXPECT_EQ(state->cameraBubbleSize(), size + 30);
}

// Muting reaches the screen recorder; each start clears it.
TEST_F(RecordingModeTest, MuteReachesTheRecorderAndEachStartClearsIt) {
    state->setMicEnabled(true);
    startRecording();
    controller->setMicMuted(true);
    EXPECT_TRUE(state->micMuted());
    EXPECT_EQ(sequence.screen->calls.back(), "mute");
    finish(controller->stop());
    controller->acknowledgeDone();
    startRecording();
    EXPECT_FALSE(state->micMuted());
}

TEST_F(RecordingModeTest, PenThatTheCaptureCannotSeeWarnsOnceTurnedOn) {
    controller->setDrawModeEnabled(true);
    EXPECT_FALSE(state->drawModeEnabled()) << "no pen before the recording";
    startRecording();
    FakeDrawingOverlay* pen = sequence.overlay;
    ASSERT_NE(pen, nullptr);
    state->setDrawingInvisibleInCapture(true);
    controller->setDrawModeEnabled(true);
    EXPECT_TRUE(pen->drawMode);
    EXPECT_EQ(pen->banners, std::vector<std::string>{
                                "Pen is visible only to you — it won't appear in the recording"});
    EXPECT_EQ(state->statusMessage(),
              "Heads up: pen strokes won't appear in the recorded video this session");
    controller->setDrawModeEnabled(false);
    EXPECT_FALSE(pen->drawMode);
}

// Recorders that fail while stopping must never leave the phase stuck.
TEST_F(RecordingModeTest, FailuresWhileCancellingEndTheSessionAllTheSame) {
    state->setCameraEnabled(true);
    controller->enterRecordingMode(true);
    executor.advance(seconds(1));
    startRecording();
    sequence.screen->throwOnCancel = true;
    cameras.last->throwOnCancel = true;
    finish(controller->cancel());
    EXPECT_EQ(phase(), Kind::idle);
    EXPECT_EQ(state->statusMessage(), "Recording canceled");
    EXPECT_EQ(log.back(), "delete rec-1");

    // A restart whose cancel fails still starts again and clears its flag, so
    // the next session's end shows the panel again.
    startRecording();
    sequence.screen->throwOnCancel = true;
    finish(controller->restart());
    executor.advance(seconds(2));
    EXPECT_EQ(phase(), Kind::recording);
    panel->visible = false;
    finish(controller->cancel());
    EXPECT_TRUE(panel->visible);
}

}  // namespace
}  // namespace tessera::testing
