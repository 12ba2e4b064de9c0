#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTabWidget>

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
    int settingsOpened = 0;
    Status status() const override { return current; }
    void setEnabled(bool on) override {
        if (fail) {
            throw std::runtime_error("the autostart folder is read-only");
        }
        current = on ? Status::enabled : Status::notRegistered;
    }
    void openLoginItemsSettings() override { ++settingsOpened; }
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

TEST_F(SettingsWindowTest, EveryTabShows) {
    settings->open();
    ASSERT_TRUE(waitShown(*settings));
    for (SettingsCategory category : EnumCases<SettingsCategory>::values) {
        settings->open(category);
        ASSERT_EQ(settings->currentCategory(), category);
        processEventsUntil([] { return false; }, std::chrono::milliseconds(100));
        saveWidgetArtifact(*settings, "settings-" + std::string(rawValue(category)) + ".png");
    }
}

TEST_F(SettingsWindowTest, ARequestOpensTheWindowOnThatTabOnce) {
    state->setRequestedSettingsCategory(SettingsCategory::camera);
    ASSERT_TRUE(processEventsUntil([&] { return settings->isVisible(); }));
    EXPECT_EQ(settings->currentCategory(), SettingsCategory::camera);
    EXPECT_EQ(settings->tabs().tabText(settings->tabs().currentIndex()), "Camera");
    EXPECT_FALSE(state->requestedSettingsCategory());
}

TEST_F(SettingsWindowTest, ARowChangeAppliesAndIsStoredAtOnce) {
    settings->open(SettingsCategory::recording);
    ASSERT_TRUE(waitShown(*settings));
    const bool before = state->showCursor();
    child<QCheckBox>("Show cursor")->click();
    EXPECT_EQ(state->showCursor(), !before);
    EXPECT_EQ(store.values().at(std::string(settings_keys::kShowCursor)), !before);

    // A change made elsewhere shows in the row.
    state->setShowCursor(before);
    EXPECT_TRUE(
        processEventsUntil([&] { return child<QCheckBox>("Show cursor")->isChecked() == before; }));
}

TEST_F(SettingsWindowTest, TheLocalCopyRowIsOffByDefaultAndStored) {
    settings->open(SettingsCategory::sharing);
    ASSERT_TRUE(waitShown(*settings));
    QCheckBox* keep = child<QCheckBox>("Keep a local copy of every recording");
    ASSERT_NE(keep, nullptr);
    EXPECT_FALSE(keep->isChecked());
    keep->click();
    EXPECT_TRUE(state->keepLocalCopy());
    EXPECT_EQ(store.values().at(std::string(settings_keys::kKeepLocalCopy)), true);
}

TEST_F(SettingsWindowTest, KeyRowsRegisterAndDropTheHotKey) {
    settings->open(SettingsCategory::shortcuts);
    state->setHotkeyEnabled(false);
    controller->applyHotkeySetting();
    ASSERT_TRUE(processEventsUntil(
        [&] { return !child<QCheckBox>("Start / stop with Shift+Super+2")->isChecked(); }));
    child<QCheckBox>("Start / stop with Shift+Super+2")->click();
    EXPECT_TRUE(state->hotkeyEnabled());
    EXPECT_TRUE(hotKeys.registered.contains(CaptureController::kStartStopHotKeyID));
    child<QCheckBox>("Start / stop with Shift+Super+2")->click();
    EXPECT_FALSE(hotKeys.registered.contains(CaptureController::kStartStopHotKeyID));
}

TEST_F(SettingsWindowTest, BackgroundStyleShowsOnlyItsOwnDetailRow) {
    settings->open(SettingsCategory::camera);
    ASSERT_TRUE(waitShown(*settings));
    const auto shown = [&](const char* row) {
        return child<QWidget>(row)->isVisible();
    };
    auto* style = child<QWidget>("Style")->findChild<QComboBox*>();
    ASSERT_NE(style, nullptr);

    state->setCameraBackground(CameraBackgroundMode::blur);
    ASSERT_TRUE(processEventsUntil([&] { return shown("Blur"); }));
    EXPECT_FALSE(shown("Color"));
    EXPECT_FALSE(shown("Image"));

    // Choosing "None" in the picker hides all three.
    style->setCurrentIndex(0);
    emit style->activated(0);
    EXPECT_EQ(state->cameraBackground(), CameraBackgroundMode::none);
    ASSERT_TRUE(processEventsUntil([&] { return !shown("Blur"); }));
    EXPECT_FALSE(shown("Color"));
    EXPECT_FALSE(shown("Image"));

    state->setCameraBackground(CameraBackgroundMode::color);
    ASSERT_TRUE(processEventsUntil([&] { return shown("Color"); }));
    // The row that appeared takes room of its own: no wrapped caption is
    // squeezed below the height its text needs.
    for (QLabel* label : settings->findChildren<QLabel*>()) {
        if (label->isVisible() && label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << label->text().toStdString();
        }
    }
    saveWidgetArtifact(*settings, "settings-camera-color.png");
}

TEST_F(SettingsWindowTest, LaunchAtLoginShowsTheRealStatusAfterAFailure) {
    settings->open(SettingsCategory::general);
    ASSERT_TRUE(waitShown(*settings));
    auto* toggle = child<QCheckBox>("Launch at login");
    toggle->click();
    EXPECT_EQ(launchAtLogin.current, LaunchAtLogin::Status::enabled);
    EXPECT_TRUE(toggle->isChecked());

    launchAtLogin.fail = true;
    toggle->click();
    EXPECT_TRUE(toggle->isChecked()) << "the toggle returns to the real status";
    bool errorShown = false;
    for (QLabel* label : settings->findChildren<QLabel*>()) {
        errorShown |=
            label->isVisible() &&
            label->text() == "Couldn't update Launch at Login: the autostart folder is read-only";
    }
    EXPECT_TRUE(errorShown);
    processEventsUntil([] { return false; }, std::chrono::milliseconds(100));
    saveWidgetArtifact(*settings, "settings-general-error.png");

    // Waiting for approval: the approval line and its button.
    launchAtLogin.fail = false;
    launchAtLogin.current = LaunchAtLogin::Status::requiresApproval;
    settings->open();
    ASSERT_NE(button(*settings, "Open Login Items Settings…"), nullptr);
    button(*settings, "Open Login Items Settings…")->click();
    EXPECT_EQ(launchAtLogin.settingsOpened, 1);
}

}  // namespace
}  // namespace tessera::testing
