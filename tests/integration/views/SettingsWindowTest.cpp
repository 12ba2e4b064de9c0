#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTabWidget>
#include <array>

#include "ViewsFixture.h"
#include "app/SettingsKeys.h"
#include "views/SettingsRules.h"
#include "views/SettingsWindow.h"

namespace tessera::testing {
namespace {

using views::SettingsWindow;

// A login item whose registration can be made to fail.
struct FakeLaunchAtLogin : LaunchAtLogin {
    Status current = Status::notRegistered;
    bool fail = false;
    Status status() const override { return current; }
    void setEnabled(bool on) override {
        if (fail) {
            throw std::runtime_error("the autostart folder is read-only");
        }
        current = on ? Status::enabled : Status::notRegistered;
    }
    void openLoginItemsSettings() override {}
};

class SettingsWindowTest : public ViewsTest {
  protected:
    template <typename T>
    T* child(const QString& name) {
        return settings->findChild<T*>(name);
    }

    void SetUp() override {
        ViewsTest::SetUp();
        settings = std::make_unique<SettingsWindow>(*state, *controller, launchAtLogin, [] {});
    }
    void TearDown() override {
        settings.reset();
        ViewsTest::TearDown();
    }

    FakeLaunchAtLogin launchAtLogin;
    std::unique_ptr<SettingsWindow> settings;
};

// A request opens the window on its tab; a row's change applies and is stored
// at once, and a change made elsewhere shows in the row; the background style
// shows only its own detail row; a failed launch-at-login change shows the
// real status and why.
TEST_F(SettingsWindowTest, EveryTabShowsAndItsRowsApplyAndAreStoredAtOnce) {
    state->setRequestedSettingsCategory(SettingsCategory::camera);
    ASSERT_TRUE(waitShown(*settings));
    EXPECT_EQ(settings->tabs().tabText(settings->tabs().currentIndex()), "Camera");
    EXPECT_FALSE(state->requestedSettingsCategory()) << "the request is taken once";
    for (SettingsCategory category : EnumCases<SettingsCategory>::values) {
        settings->open(category);
        ASSERT_EQ(settings->currentCategory(), category);
        processEventsUntil([] { return false; }, std::chrono::milliseconds(100));
        saveWidgetArtifact(*settings, "settings-" + std::string(rawValue(category)) + ".png");
    }

    settings->open(SettingsCategory::recording);
    const bool before = state->showCursor();
    child<QCheckBox>("Show cursor")->click();
    EXPECT_EQ(state->showCursor(), !before);
    EXPECT_EQ(store.values().at(std::string(settings_keys::kShowCursor)), !before);
    state->setShowCursor(before);
    EXPECT_TRUE(
        processEventsUntil([&] { return child<QCheckBox>("Show cursor")->isChecked() == before; }));

    // The hot key row registers and drops the hot key.
    settings->open(SettingsCategory::shortcuts);
    QCheckBox* hotkey = child<QCheckBox>("Start / stop with Shift+Super+2");
    state->setHotkeyEnabled(false);
    controller->applyHotkeySetting();
    ASSERT_TRUE(processEventsUntil([&] { return !hotkey->isChecked(); }));
    hotkey->click();
    EXPECT_TRUE(state->hotkeyEnabled());
    EXPECT_TRUE(hotKeys.registered.contains(CaptureController::kStartStopHotKeyID));
    hotkey->click();
    EXPECT_FALSE(hotKeys.registered.contains(CaptureController::kStartStopHotKeyID));

    settings->open(SettingsCategory::camera);
    // Which of the Blur, Color and Image rows show.
    const auto shown = [&] {
        return std::array{child<QWidget>("Blur")->isVisible(), child<QWidget>("Color")->isVisible(),
                          child<QWidget>("Image")->isVisible()};
    };
    auto* style = child<QWidget>("Style")->findChild<QComboBox*>();
    ASSERT_NE(style, nullptr);
    state->setCameraBackground(CameraBackgroundMode::blur);
    EXPECT_TRUE(processEventsUntil([&] { return shown() == std::array{true, false, false}; }));
    // Choosing "None" in the picker hides all three.
    style->setCurrentIndex(0);
    emit style->activated(0);
    EXPECT_EQ(state->cameraBackground(), CameraBackgroundMode::none);
    EXPECT_TRUE(processEventsUntil([&] { return shown() == std::array{false, false, false}; }));
    state->setCameraBackground(CameraBackgroundMode::color);
    ASSERT_TRUE(processEventsUntil([&] { return shown() == std::array{false, true, false}; }));
    // No wrapped caption is squeezed below the height its text needs.
    for (QLabel* label : settings->findChildren<QLabel*>()) {
        if (label->isVisible() && label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << label->text().toStdString();
        }
    }
    saveWidgetArtifact(*settings, "settings-camera-color.png");

    settings->open(SettingsCategory::general);
    auto* toggle = child<QCheckBox>("Launch at login");
    toggle->click();
    EXPECT_EQ(launchAtLogin.current, LaunchAtLogin::Status::enabled);
    EXPECT_TRUE(toggle->isChecked());

    launchAtLogin.fail = true;
    toggle->click();
    EXPECT_TRUE(toggle->isChecked()) << "the toggle returns to the real status";
    EXPECT_TRUE(showsLabel(*settings,
                           "Couldn't update Launch at Login: the autostart folder is read-only"));
    processEventsUntil([] { return false; }, std::chrono::milliseconds(100));
    saveWidgetArtifact(*settings, "settings-general-error.png");
}

}  // namespace
}  // namespace tessera::testing
