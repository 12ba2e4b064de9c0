#include <gtest/gtest.h>

#include <functional>

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

struct BoolKey {
    std::string_view key;
    bool (AppState::*getter)() const;
};

TEST_F(AppStateTest, BooleansAreReadOnlyFromJsonBooleans) {
    const BoolKey trueByDefault[] = {
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
        for (const json& wrongType : {json("false"), json(0), json(nullptr), json::array()}) {
            EXPECT_TRUE((launchWith({{key, wrongType}}).*getter)()) << wrongType;
        }
    }
    EXPECT_TRUE(launchWith({{keys::kCameraEnabled, true}}).cameraEnabled());
    EXPECT_FALSE(launchWith({{keys::kCameraEnabled, 1}}).cameraEnabled());
}

TEST_F(AppStateTest, EnumerationsMatchRawValuesExactlyOrFallBack) {
    auto& stored = launchWith({{keys::kCaptureMode, "window"},
                               {keys::kVideoQuality, "standard"},
                               {keys::kStripVisibility, "hidden"},
                               {keys::kPenColor, "white"},
                               {keys::kCameraBackground, "image"},
                               {keys::kCameraBackgroundColor, "green"}});
    EXPECT_EQ(stored.captureMode(), CaptureMode::window);
    EXPECT_EQ(stored.videoQuality(), VideoQuality::standard);
    EXPECT_EQ(stored.stripVisibility(), StripVisibility::hidden);
    EXPECT_EQ(stored.penColor(), PenColor::white);
    EXPECT_EQ(stored.cameraBackground(), CameraBackgroundMode::image);
    EXPECT_EQ(stored.cameraBackgroundColor(), CameraBackgroundColor::green);

    for (const json& bad : {json("Window"), json("bogus"), json(""), json(1), json(true)}) {
        SCOPED_TRACE(bad.dump());
        auto& s = launchWith({{keys::kCaptureMode, bad},
                              {keys::kVideoQuality, bad},
                              {keys::kStripVisibility, bad},
                              {keys::kPenColor, bad},
                              {keys::kCameraBackground, bad},
                              {keys::kCameraBackgroundColor, bad}});
        EXPECT_EQ(s.captureMode(), CaptureMode::display);
        EXPECT_EQ(s.videoQuality(), VideoQuality::automatic);
        EXPECT_EQ(s.stripVisibility(), StripVisibility::ownScreen);
        EXPECT_EQ(s.penColor(), PenColor::purple);
        EXPECT_EQ(s.cameraBackground(), CameraBackgroundMode::none);
        EXPECT_EQ(s.cameraBackgroundColor(), CameraBackgroundColor::charcoal);
    }
}

TEST_F(AppStateTest, IntegersOutsideTheirListsFallBack) {
    struct Case {
        json countdown, frameRate;
        int expectedCountdown, expectedFrameRate;
    };
    const Case cases[] = {
        {4, 24, 3, 30},       {5, 60, 5, 60},     {10, 30, 10, 30},
        {10.0, 60.0, 10, 60}, {5.5, 60.5, 3, 30}, {"5", "60", 3, 30},
        {true, true, 3, 30},  {-3, -30, 3, 30},   {1e300, 1e300, 3, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.countdown.dump());
        auto& s =
            launchWith({{keys::kCountdownDuration, c.countdown}, {keys::kFrameRate, c.frameRate}});
        EXPECT_EQ(s.countdownDuration(), c.expectedCountdown);
        EXPECT_EQ(s.frameRate(), c.expectedFrameRate);
    }
}

TEST_F(AppStateTest, DoublesAreClampedWhenRead) {
    struct Case {
        std::string_view key;
        double (AppState::*getter)() const;
        json stored;
        double expected;
    };
    const Case cases[] = {
        {keys::kCameraBubbleSize, &AppState::cameraBubbleSize, 50, 120},
        {keys::kCameraBubbleSize, &AppState::cameraBubbleSize, 900, 560},
        {keys::kCameraBubbleSize, &AppState::cameraBubbleSize, 333.5, 333.5},
        {keys::kCameraBubbleSize, &AppState::cameraBubbleSize, "300", 160},
        {keys::kCameraBlurStrength, &AppState::cameraBlurStrength, 1.5, 1},
        {keys::kCameraBlurStrength, &AppState::cameraBlurStrength, -1, 0},
        {keys::kCameraBlurStrength, &AppState::cameraBlurStrength, 0.25, 0.25},
        {keys::kCameraBlurStrength, &AppState::cameraBlurStrength, false, 0.6},
        {keys::kCameraFaceSmoothing, &AppState::cameraFaceSmoothing, 2, 1},
        {keys::kCameraFaceSmoothing, &AppState::cameraFaceSmoothing, -0.5, 0},
        {keys::kCameraFaceSmoothing, &AppState::cameraFaceSmoothing, 0.4, 0.4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.stored.dump());
        EXPECT_EQ((launchWith({{c.key, c.stored}}).*c.getter)(), c.expected);
    }
}

TEST_F(AppStateTest, ImagePathsAreReadAsStrings) {
    auto& s = launchWith({{keys::kCameraBackgroundImagePath, "/pics/beach.png"},
                          {keys::kCameraProfileImagePath, 42}});
    EXPECT_EQ(s.cameraBackgroundImagePath(), "/pics/beach.png");
    EXPECT_EQ(s.cameraProfileImagePath(), std::nullopt);
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
    const CameraEffectSettings effects = s.cameraEffectSettings();
    // Stored files rely on these exact names.
    std::string storedKeys;
    for (const auto& [key, value] : store.values().items()) {
        storedKeys += key + " ";
    }
    EXPECT_EQ(storedKeys,
              "autoCopyShareLink cameraAutoLighting cameraBackgroundBlurStrength "
              "cameraBackgroundColor cameraBackgroundImagePath cameraBackgroundMode "
              "cameraBubbleSize cameraEnabled cameraFaceSmoothing cameraKeepFaceCentered "
              "cameraMirrored cameraProfileImagePath cameraShowProfilePicture captureFrameRate "
              "captureMode controlStripVertical controlStripVisibility countdownDurationSeconds "
              "countdownEnabled globalHotkeyEnabled highlightMouseClicks notifyWhenReady "
              "openSharePageInBrowser pauseHotkeyEnabled penColorName showCursorInRecording "
              "systemAudioEnabled videoQuality ");
    EXPECT_EQ(store.values()[keys::kVideoQuality], "high");
    EXPECT_TRUE(store.values()[keys::kCountdownDuration].is_number_integer());

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
    EXPECT_EQ(store.values()[keys::kCountdownDuration], 4);
    EXPECT_EQ(store.values()[keys::kCameraBlurStrength], 7.0);
    EXPECT_FALSE(store.values().contains(keys::kCameraBackgroundImagePath));
    s.setMicEnabled(false);  // session-only: never stored
    s.setCameraFullScreen(true);
    EXPECT_EQ(store.values().size(), 2u);
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
    const std::vector<std::string> expected{
        "effects blur=0.5", "size=300.0",       "full=1",           "full=1",
        "effects blur=0.5", "effects blur=0.5", "effects blur=0.5", "effects blur=0.5",
        "effects blur=0.5", "effects blur=0.5", "effects blur=0.5", "effects blur=0.5"};
    EXPECT_EQ(log, expected);
}

TEST_F(AppStateTest, ServerBaseUrlIsTrimmedAndMustBeAbsolute) {
    struct Case {
        json stored;  // null = nothing stored
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {nullptr, "http://127.0.0.1:3123"},
        {"  https://rec.example.com:8443///  \n", "https://rec.example.com:8443"},
        {"\thttp://host/base/\r\n", "http://host/base"},
        {"http://host", "http://host"},
        {"not a url", std::nullopt},
        {"rec.example.com/x", std::nullopt},
        {"127.0.0.1:3123", std::nullopt},
        {"   ", std::nullopt},
        {"///", std::nullopt},
        {" / // ", std::nullopt},
        {"", std::nullopt},
        {42, "http://127.0.0.1:3123"},  // not text: as if nothing were stored
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.dump());
        json stored = json::object();
        if (!c.stored.is_null()) {
            stored[keys::kServerBaseURL] = c.stored;
        }
        const auto url = launchWith(stored).serverBaseURL();
        EXPECT_EQ(url ? std::optional(url->toString()) : std::nullopt, c.expected);
    }
}

}  // namespace
}  // namespace tessera
