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

// A stored value of the wrong type or outside its bounds gives the default (flags,
// choices, listed integers) or is clamped (doubles); it never fails the launch.
TEST_F(AppStateTest, StoredValuesAreReadByTheirRule) {
    using Getter = bool (AppState::*)() const;
    const std::pair<std::string_view, Getter> trueByDefault[] = {
        {keys::kSystemAudioEnabled, &AppState::systemAudioEnabled},
        {keys::kHotkeyEnabled, &AppState::hotkeyEnabled},
        {keys::kCountdownEnabled, &AppState::countdownEnabled},
        {keys::kShowCursor, &AppState::showCursor},
        {keys::kStripVertical, &AppState::stripVertical},
        {keys::kAutoCopyLink, &AppState::autoCopyLink},
        {keys::kOpenShareInBrowser, &AppState::openShareInBrowser},
    };
    for (const auto& [key, getter] : trueByDefault) {
        SCOPED_TRACE(key);
        EXPECT_FALSE((launchWith({{key, false}}).*getter)());
        for (const json& wrongType : {json("false"), json(0), json(nullptr)}) {
            EXPECT_TRUE((launchWith({{key, wrongType}}).*getter)()) << wrongType;
        }
    }
    EXPECT_FALSE(launchWith({{keys::kCameraEnabled, 1}}).cameraEnabled());

    for (const json& bad : {json("Window"), json(""), json(1)}) {
        SCOPED_TRACE(bad.dump());
        auto& s = launchWith({{keys::kCaptureMode, bad},
                              {keys::kVideoQuality, bad},
                              {keys::kStripVisibility, bad},
                              {keys::kPenColor, bad},
                              {keys::kCameraBackground, bad},
                              {keys::kCameraBackgroundColor, bad},
                              {keys::kCameraProfileImagePath, 42}});
        EXPECT_EQ(s.captureMode(), CaptureMode::display);
        EXPECT_EQ(s.videoQuality(), VideoQuality::automatic);
        EXPECT_EQ(s.stripVisibility(), StripVisibility::ownScreen);
        EXPECT_EQ(s.penColor(), PenColor::purple);
        EXPECT_EQ(s.cameraBackground(), CameraBackgroundMode::none);
        EXPECT_EQ(s.cameraBackgroundColor(), CameraBackgroundColor::charcoal);
        EXPECT_EQ(s.cameraProfileImagePath(), std::nullopt);
    }

    struct IntCase {
        json countdown, frameRate;
        int expectedCountdown, expectedFrameRate;
    };
    for (const auto& c : {IntCase{5, 60, 5, 60}, IntCase{10.0, 60.0, 10, 60}, IntCase{4, 24, 3, 30},
                          IntCase{5.5, 60.5, 3, 30}, IntCase{"5", "60", 3, 30},
                          IntCase{true, true, 3, 30}, IntCase{1e300, 1e300, 3, 30}}) {
        SCOPED_TRACE(c.countdown.dump());
        auto& s =
            launchWith({{keys::kCountdownDuration, c.countdown}, {keys::kFrameRate, c.frameRate}});
        EXPECT_EQ(s.countdownDuration(), c.expectedCountdown);
        EXPECT_EQ(s.frameRate(), c.expectedFrameRate);
    }

    // Bubble size, blur strength and face smoothing: clamped, or their defaults.
    const auto doubles = [&](const json& size, const json& blur, const json& smoothing) {
        const auto& s = launchWith({{keys::kCameraBubbleSize, size},
                                    {keys::kCameraBlurStrength, blur},
                                    {keys::kCameraFaceSmoothing, smoothing}});
        return std::vector<double>{s.cameraBubbleSize(), s.cameraBlurStrength(),
                                   s.cameraFaceSmoothing()};
    };
    EXPECT_EQ(doubles(50, -1, -0.5), (std::vector<double>{120, 0, 0}));
    EXPECT_EQ(doubles(900, 1.5, 2), (std::vector<double>{560, 1, 1}));
    EXPECT_EQ(doubles("300", false, nullptr), (std::vector<double>{160, 0.6, 0}));
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

    const AppState& n = launch();
    EXPECT_EQ(n.captureMode(), CaptureMode::window);
    EXPECT_EQ(n.cameraEffectSettings(), effects);
    EXPECT_EQ(effects.backgroundColor, CameraBackgroundColor::sand);
    EXPECT_EQ(effects.profileImagePath, "/pics/me.png");
    EXPECT_EQ(std::vector<int>({n.countdownDuration(), n.frameRate()}), std::vector<int>({10, 60}));
    EXPECT_EQ(n.videoQuality(), VideoQuality::high);
    EXPECT_EQ(n.cameraBubbleSize(), 200);
    EXPECT_EQ(n.stripVisibility(), StripVisibility::always);
    EXPECT_EQ(n.penColor(), PenColor::orange);
    const std::vector<bool> flipped{
        n.cameraEnabled(), !n.systemAudioEnabled(), !n.hotkeyEnabled(),  !n.countdownEnabled(),
        !n.showCursor(),   n.highlightClicks(),     n.cameraMirrored(),  !n.stripVertical(),
        !n.autoCopyLink(), !n.openShareInBrowser(), n.notifyWhenReady(), n.pauseHotkeyEnabled()};
    EXPECT_EQ(flipped, std::vector<bool>(12, true));
}

TEST_F(AppStateTest, WritesAreNotValidatedAndNoneRemovesTheKey) {
    AppState& s = launch();
    s.setCountdownDuration(4);
    s.setCameraBlurStrength(7);
    s.setCameraBackgroundImagePath("/x.png");
    s.setCameraBackgroundImagePath(std::nullopt);
    EXPECT_EQ(store.values(),
              (json{{keys::kCountdownDuration, 4}, {keys::kCameraBlurStrength, 7.0}}));
}

TEST_F(AppStateTest, ObserversAreToldBeforeEveryAssignmentWhileTheOldValueShows) {
    AppState& s = launch();
    std::vector<double> seen;
    auto sub = s.subscribe([&] { seen.push_back(s.elapsed()); });
    s.setElapsed(1.5);
    s.setElapsed(1.5);  // unchanged values notify too
    s.setElapsed(2);
    EXPECT_EQ(seen, (std::vector<double>{0, 1.5, 1.5}));
}

TEST_F(AppStateTest, ChangeHooksRunAfterTheWriteAndOnlyForTheirProperties) {
    AppState& s = launch();
    std::vector<std::string> log;
    s.cameraEffectsChanged = [&] {
        log.push_back("effects blur=" +
                      store.values().value(keys::kCameraBlurStrength, json()).dump());
    };
    s.cameraBubbleSizeChanged = [&] {
        log.push_back("size=" + store.values()[keys::kCameraBubbleSize].dump());
    };
    s.cameraFullScreenChanged = [&] {
        log.push_back("full=" + std::to_string(s.cameraFullScreen()));
    };

    s.setCameraBlurStrength(0.5);
    s.setCameraBubbleSize(300);
    s.setCameraFullScreen(true);
    s.setCameraFullScreen(true);
    s.setCameraMirrored(true);  // not an effect setting
    s.setCameraBackground(CameraBackgroundMode::blur);
    s.setCameraBackgroundColor(CameraBackgroundColor::teal);
    s.setCameraBackgroundImagePath(std::nullopt);
    s.setCameraFaceSmoothing(0.2);
    s.setCameraKeepFaceCentered(true);
    s.setCameraAutoLighting(true);
    s.setCameraProfileImagePath("/p.png");
    s.setCameraShowProfile(true);
    std::vector<std::string> expected{"effects blur=0.5", "size=300.0", "full=1", "full=1"};
    expected.resize(12, "effects blur=0.5");
    EXPECT_EQ(log, expected);
}

TEST_F(AppStateTest, ServerBaseUrlIsTrimmedAndMustBeAbsolute) {
    const auto base = [&](const json& stored) {
        const auto url = launchWith(stored).serverBaseURL();
        return url ? url->toString() : "invalid";
    };
    EXPECT_EQ(base(json::object()), "http://127.0.0.1:3123");
    EXPECT_EQ(base({{keys::kServerBaseURL, 42}}), "http://127.0.0.1:3123") << "not text";
    EXPECT_EQ(base({{keys::kServerBaseURL, "  https://rec.example.com:8443///  \n"}}),
              "https://rec.example.com:8443");
    EXPECT_EQ(base({{keys::kServerBaseURL, "\thttp://host/base/\r\n"}}), "http://host/base");
    for (const char* text : {"rec.example.com/x", "127.0.0.1:3123", " / // ", ""}) {
        EXPECT_EQ(base({{keys::kServerBaseURL, text}}), "invalid") << text;
    }
}

}  // namespace
}  // namespace tessera
