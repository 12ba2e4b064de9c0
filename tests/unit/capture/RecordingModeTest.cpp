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
    EXPECT_EQ(controller->cameraRecorder(), nullptr);
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

TEST_F(RecordingModeTest, DeviceChangeRestartsThePreviewOnlyWhileIdle) {
    state->setCameraEnabled(true);
    controller->enterRecordingMode(true);
    executor.advance(seconds(1));
    ASSERT_NE(controller->cameraRecorder(), nullptr);
    auto first = controller->cameraRecorder();

    state->setSelectedCameraID("/dev/v4l/by-id/usb-cam-2");
    controller->cameraDeviceChanged();
    executor.advance(seconds(1));
    ASSERT_NE(controller->cameraRecorder(), first);
    EXPECT_EQ(cameras.last->deviceID, "/dev/v4l/by-id/usb-cam-2");
    EXPECT_EQ(cameras.log->openPreviews, 1);

    startRecording();
    const int made = cameras.log->made;
    controller->cameraDeviceChanged();
    executor.advance(seconds(1));
    EXPECT_EQ(cameras.log->made, made);
}

TEST_F(RecordingModeTest, TheBubbleMenuAndResizeReachTheStateWhileTheControllerLives) {
    state->setCameraEnabled(true);
    controller->enterRecordingMode(false);
    executor.advance(seconds(1));
    ASSERT_NE(cameras.last, nullptr);
    auto camera = cameras.last;
    ASSERT_TRUE(camera->effects.has_value());

    const double size = state->cameraBubbleSize();
    camera->onResized(size + 0.4);
    EXPECT_EQ(state->cameraBubbleSize(), size);
    camera->onResized(size + 30);
    EXPECT_EQ(state->cameraBubbleSize(), size + 30);

    camera->menu.advancedSettings();
    EXPECT_TRUE(panel->visible);
    EXPECT_EQ(state->requestedSettingsCategory(), SettingsCategory::camera);
    camera->menu.close();
    executor.advance(seconds(1));
    EXPECT_FALSE(state->cameraEnabled());
    EXPECT_EQ(cameras.log->openPreviews, 0);

    controller.reset();
    camera->onResized(size + 60);
    camera->menu.close();
    EXPECT_EQ(state->cameraBubbleSize(), size + 30);
}

// Opened from the status item, the recorder selects the item's display (only
// in display mode); a hidden strip is never made; a new target moves the strip
// and the bubble.
TEST_F(RecordingModeTest, TheStripAndBubbleFollowTheDisplayAndAHiddenStripIsNeverShown) {
    state->setDisplays({{1, "Built-in"}, {7, "DELL U2720Q"}});
    controller->statusItemDisplayID = [] {
        return std::optional<std::uint32_t>(7);
    };
    state->setCaptureMode(CaptureMode::window);
    state->setStripVisibility(StripVisibility::hidden);
    controller->enterRecordingMode(true);
    EXPECT_EQ(state->selectedDisplayID(), 1u);
    EXPECT_EQ(windows.strip, nullptr);
    controller->exitRecordingMode();

    state->setCaptureMode(CaptureMode::display);
    state->setStripVisibility(StripVisibility::ownScreen);
    state->setCameraEnabled(true);
    controller->enterRecordingMode(true);
    executor.advance(seconds(1));
    EXPECT_EQ(state->selectedDisplayID(), 7u);
    ASSERT_NE(windows.strip, nullptr);
    EXPECT_EQ(windows.strip->display, 7u);
    state->setSelectedDisplayID(1);
    controller->captureTargetChanged();
    EXPECT_EQ(windows.strip->display, 1u);
    EXPECT_EQ(cameras.log->calls.back(), "moveBubble 1");
}

// Muting needs a recording with the microphone, hiding the bubble needs the
// camera; each start clears both.
TEST_F(RecordingModeTest, MuteAndHiddenBubbleNeedTheirDeviceAndEachStartClearsThem) {
    state->setMicEnabled(true);
    controller->setMicMuted(true);
    EXPECT_FALSE(state->micMuted());
    controller->setCameraBubbleHidden(true);
    EXPECT_FALSE(state->cameraBubbleHidden());

    state->setCameraEnabled(true);
    controller->enterRecordingMode(true);
    executor.advance(seconds(1));
    controller->setCameraBubbleHidden(true);
    EXPECT_TRUE(state->cameraBubbleHidden());
    EXPECT_EQ(cameras.log->calls.back(), "out");
    startRecording();
    EXPECT_FALSE(state->cameraBubbleHidden());
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
    EXPECT_FALSE(state->drawModeEnabled());
    // Window mode has no pen overlay, so the pen cannot be turned on.
    state->setCaptureMode(CaptureMode::window);
    state->setSelectedWindowID(42);
    startRecording();
    controller->setDrawModeEnabled(true);
    EXPECT_FALSE(state->drawModeEnabled());
    finish(controller->cancel());

    state->setCaptureMode(CaptureMode::display);
    startRecording();
    FakeDrawingOverlay* pen = sequence.overlay;
    ASSERT_NE(pen, nullptr);
    state->setDrawingInvisibleInCapture(true);
    controller->setDrawModeEnabled(true);
    EXPECT_TRUE(pen->drawMode);
    ASSERT_EQ(pen->banners.size(), 1u);
    EXPECT_EQ(pen->banners[0], "Pen is visible only to you — it won't appear in the recording");
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
