#include <gtest/gtest.h>

#include "app/AppState.h"
#include "app/SettingsKeys.h"
#include "support/AppStateDoubles.h"

namespace tessera {
namespace {

namespace keys = settings_keys;
using nlohmann::json;

class AppStateTest : public ::testing::Test {
  protected:
    // A fresh AppState over the current store, as at a new launch.
    AppState& launch() {
        state_.reset();
        state_ = std::make_unique<AppState>(store, permission, relauncher, 7);
        return *state_;
    }
    AppState& launchWith(json stored) {
        store = InMemorySettingsStore(std::move(stored));
        return launch();
    }

    InMemorySettingsStore store;
    testing::FixedScreenPermission permission;
    testing::NoRelaunch relauncher;

  private:
    std::unique_ptr<AppState> state_;
};

TEST_F(AppStateTest, AMissingPermissionIsRequestedOnceAtLaunchAndReadingWritesNothing) {
    launch();
    EXPECT_EQ(permission.requests, 0);
    permission.granted = false;
    const AppState& s = launch();
    EXPECT_EQ(permission.requests, 1);
    EXPECT_FALSE(s.hasScreenPermission());
    EXPECT_EQ(s.selectedDisplayID(), 7u);
    EXPECT_EQ(store.values(), json::object());
}

// Reading and writing go through one table of keys and rules; one property per rule.
// A stored value of the wrong type or outside its bounds gives the default (flags,
// choices, listed integers) or is clamped (doubles); it never fails the launch.
TEST_F(AppStateTest, StoredValuesAreReadByTheirRule) {
    EXPECT_FALSE(launchWith({{keys::kSystemAudioEnabled, false}}).systemAudioEnabled());
    EXPECT_TRUE(launchWith({{keys::kSystemAudioEnabled, "false"}}).systemAudioEnabled());
    EXPECT_EQ(launchWith({{keys::kCaptureMode, "Window"}}).captureMode(), CaptureMode::display);
    EXPECT_EQ(launchWith({{keys::kCameraProfileImagePath, 42}}).cameraProfileImagePath(),
              std::nullopt);

    struct IntCase {
        json countdown, frameRate;
        int expectedCountdown, expectedFrameRate;
    };
    for (const auto& c : {IntCase{10.0, 60.0, 10, 60}, IntCase{4, 24, 3, 30},
                          IntCase{5.5, 60.5, 3, 30}, IntCase{"5", "60", 3, 30}}) {
        SCOPED_TRACE(c.countdown.dump());
        auto& s =
            launchWith({{keys::kCountdownDuration, c.countdown}, {keys::kFrameRate, c.frameRate}});
        EXPECT_EQ(s.countdownDuration(), c.expectedCountdown);
        EXPECT_EQ(s.frameRate(), c.expectedFrameRate);
    }

    const auto bubbleSize = [&](const json& stored) {
        return launchWith({{keys::kCameraBubbleSize, stored}}).cameraBubbleSize();
    };
    EXPECT_EQ(bubbleSize(50), 120);
    EXPECT_EQ(bubbleSize(900), 560);
    EXPECT_EQ(bubbleSize("300"), 160);
}

TEST_F(AppStateTest, EverySettingWrittenAtRunTimeIsReadAtTheNextLaunch) {
    AppState& s = launch();
    s.setCaptureMode(CaptureMode::window);
    s.setCameraEnabled(true);
    s.setSystemAudioEnabled(false);
    s.setHotkeyEnabled(false);
    s.setCountdownEnabled(false);
    s.setCountdownDuration(10);
    s.setVideoQuality(VideoQuality::high);
    s.setFrameRate(60);
    s.setShowCursor(false);
    s.setHighlightClicks(true);
    s.setCameraMirrored(true);
    s.setCameraBackground(CameraBackgroundMode::color);
    s.setCameraBlurStrength(0.3);
    s.setCameraBackgroundColor(CameraBackgroundColor::sand);
    s.setCameraBackgroundImagePath("/pics/a.png");
    s.setCameraFaceSmoothing(0.7);
    s.setCameraKeepFaceCentered(true);
    s.setCameraAutoLighting(true);
    s.setCameraBubbleSize(200);
    s.setCameraProfileImagePath("/pics/me.png");
    s.setCameraShowProfile(true);
    s.setStripVertical(false);
    s.setStripVisibility(StripVisibility::always);
    s.setPenColor(PenColor::orange);
    s.setAutoCopyLink(false);
    s.setOpenShareInBrowser(false);
    s.setNotifyWhenReady(true);
    s.setPauseHotkeyEnabled(true);
    s.setMicEnabled(false);  // session-only: never stored
    s.setCameraFullScreen(true);
    const CameraEffectSettings effects = s.cameraEffectSettings();
    // Stored files rely on these exact names, raw values and number types.
    EXPECT_EQ(store.values().dump(),
              json::parse(R"({"autoCopyShareLink":false,"cameraAutoLighting":true,
        "cameraBackgroundBlurStrength":0.3,"cameraBackgroundColor":"sand",
        "cameraBackgroundImagePath":"/pics/a.png","cameraBackgroundMode":"color",
        "cameraBubbleSize":200.0,"cameraEnabled":true,"cameraFaceSmoothing":0.7,
        "cameraKeepFaceCentered":true,"cameraMirrored":true,
        "cameraProfileImagePath":"/pics/me.png","cameraShowProfilePicture":true,
        "captureFrameRate":60,"captureMode":"window","controlStripVertical":false,
        "controlStripVisibility":"always","countdownDurationSeconds":10,
        "countdownEnabled":false,"globalHotkeyEnabled":false,"highlightMouseClicks":true,
        "notifyWhenReady":true,"openSharePageInBrowser":false,"pauseHotkeyEnabled":true,
        "penColorName":"orange","showCursorInRecording":false,"systemAudioEnabled":false,
        "videoQuality":"high"})")
                  .dump());

    // One property per rule, read back as written.
    const AppState& n = launch();
    EXPECT_EQ(n.captureMode(), CaptureMode::window);
    EXPECT_EQ(n.cameraEffectSettings(), effects);
    EXPECT_EQ(n.frameRate(), 60);
    EXPECT_EQ(n.cameraBubbleSize(), 200);
    EXPECT_FALSE(n.systemAudioEnabled());
}

TEST_F(AppStateTest, ClearingAPathRemovesItsKey) {
    AppState& s = launch();
    s.setCameraBackgroundImagePath("/x.png");
    s.setCameraBackgroundImagePath(std::nullopt);
    EXPECT_EQ(store.values(), json::object());
}

// The bubble menu's tests cover the size and full-screen hooks.
TEST_F(AppStateTest, TheEffectsHookRunsAfterTheWriteOfEveryEffectSetting) {
    AppState& s = launch();
    std::vector<json> seen;
    s.cameraEffectsChanged = [&] {
        seen.push_back(store.values());
    };
    s.setCameraBlurStrength(0.5);
    s.setCameraMirrored(true);  // not an effect setting
    s.setCameraBubbleSize(300);
    s.setCameraFaceSmoothing(0.2);
    s.setCameraProfileImagePath("/p.png");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].value(keys::kCameraBlurStrength, 0.0), 0.5);
    EXPECT_EQ(seen[2].value(keys::kCameraProfileImagePath, ""), "/p.png");
}

TEST_F(AppStateTest, ServerBaseUrlIsTrimmedAndMustBeAbsolute) {
    const auto base = [&](const json& stored) {
        const auto url = launchWith(stored).serverBaseURL();
        return url ? url->toString() : "invalid";
    };
    EXPECT_EQ(base(json::object()), "http://127.0.0.1:3123");
    EXPECT_EQ(base({{keys::kServerBaseURL, "  https://rec.example.com:8443///  \n"}}),
              "https://rec.example.com:8443");
    for (const char* text : {"127.0.0.1:3123", " / // "}) {
        EXPECT_EQ(base({{keys::kServerBaseURL, text}}), "invalid") << text;
    }
}

}  // namespace
}  // namespace tessera
