// The installed program as a user meets it at launch, across restarts and
// after a crash: the tray icon and its panel, one instance per session, the
// settings file, and the recordings a killed run left behind.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/RecorderHarness.h"
#include "support/QtTestEnvironment.h"

namespace tessera::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using ApplicationTest = InstalledRecorderTest;

TEST_F(ApplicationTest, ShowsItsTrayIconOpensThePanelUnderItAndStaysOneInstance) {
    writeSettings(defaultSettings());
    startTray();
    const auto started = std::chrono::steady_clock::now();
    startApp();
    std::optional<Rectangle> icon;
    ASSERT_TRUE(processEventsUntil([&] { return (icon = trayIcon()).has_value(); }, 10s))
        << "no tray icon";
    std::printf("[ figure ] exec to tray icon (seen from outside): %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started)
                                           .count()));
    EXPECT_FALSE(panel().has_value()) << "a window was shown at launch";
    EXPECT_TRUE(waitForPhase("idle"));

    ASSERT_EQ(runCommand({"xdotool", "mousemove", std::to_string(icon->centreX()),
                          std::to_string(icon->centreY()), "click", "1"},
                         environment_)
                  .status,
              0);
    std::optional<Rectangle> shown;
    ASSERT_TRUE(processEventsUntil([&] { return (shown = panel()).has_value(); }, 10s))
        << "the click did not open the panel";
    saveScreenArtifact("app-panel-idle.png");
    EXPECT_GE(shown->y, icon->bottom()) << "the panel is not under the icon";
    EXPECT_GE(shown->x, 0);
    EXPECT_LE(shown->x + shown->width, 1280);
    EXPECT_LE(shown->bottom(), 800);
    // Under the icon: the icon's centre lies within the panel's width.
    EXPECT_LE(shown->x, icon->centreX());
    EXPECT_GE(shown->x + shown->width, icon->centreX());

    // A second launch hands over to the running instance and ends.
    ChildProcess second({program_.string()}, environment_);
    const auto status = second.wait(10s);
    ASSERT_TRUE(status.has_value()) << "a second instance kept running";
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(app_->running());
}

TEST_F(ApplicationTest, WithoutATrayThePanelOpensAtLaunchAndACorruptSettingsFileIsSetAside) {
    const fs::path settings = settingsFile();
    fs::create_directories(settings.parent_path());
    std::ofstream(settings) << "{ \"serverBaseURL\": ";
    startApp();
    std::optional<Rectangle> shown;
    ASSERT_TRUE(processEventsUntil([&] { return (shown = panel()).has_value(); }, 10s))
        << "no panel without a tray";
    saveScreenArtifact("app-no-tray-corrupt-settings.png");
    EXPECT_GE(shown->x, 0);
    EXPECT_LE(shown->x + shown->width, 1280);
    bool setAside = false;
    for (const auto& entry : fs::directory_iterator(settings.parent_path())) {
        setAside |= entry.path().filename().string().starts_with("settings.json.corrupt-");
    }
    EXPECT_TRUE(setAside) << "the unreadable file was not kept aside";
    EXPECT_TRUE(waitForPhase("idle"));
}

// A setting changed in the panel is written by the app and read back by the
// next launch after a SIGTERM: the record mode picked with the keyboard
// (Tab from the close button to the mode switch, an arrow within it, Space
// on "Window").
TEST_F(ApplicationTest, ASettingChangedInThePanelSurvivesARestart) {
    writeSettings(defaultSettings());
    startTray();
    startApp();
    ASSERT_TRUE(waitForPhase("idle"));
    ASSERT_TRUE(openPanelFromTray());
    key("Tab");
    key("Right");
    key("space");
    ASSERT_TRUE(processEventsUntil(
        [&] { return readSettings().value("captureMode", "") == "window"; }, 10s))
        << "the panel's mode switch did not store the window mode: " << readSettings().dump();
    saveScreenArtifact("e2e-settings-window-mode.png");

    EXPECT_EQ(app_->terminate(), 0) << "SIGTERM did not end the app cleanly";
    startApp();
    ASSERT_TRUE(waitForPhase("idle"));
    // In window mode with no window chosen the start key does nothing; in
    // display mode it leaves the idle phase before the command gets its
    // answer (the app handles the call at once, and a start sets its first
    // phase before it waits for anything).
    ASSERT_EQ(command({"--toggle"}).status, 0);
    EXPECT_EQ(busPhase(), "idle") << "a recording started: the window mode was not read back";
    ASSERT_TRUE(openPanelFromTray());
    saveScreenArtifact("e2e-settings-after-restart.png");
    EXPECT_EQ(app_->terminate(), 0);
    EXPECT_EQ(readSettings().value("captureMode", ""), "window");
}

double probeDuration(const fs::path& file) {
    const auto result = runCommand({"ffprobe", "-v", "error", "-show_entries", "format=duration",
                                    "-of", "csv=p=0", file.string()});
    return result.status == 0 ? std::atof(result.output.c_str()) : -1;
}

TEST_F(ApplicationTest, ARecordingCutShortByAKillIsSavedLocallyAtTheNextLaunch) {
    writeSettings(defaultSettings());
    startTray();
    startApp();
    ASSERT_TRUE(waitForPhase("idle"));
    ASSERT_EQ(command({"--toggle"}).status, 0);
    ASSERT_TRUE(waitForPhase("recording"));
    // The initialization segment and three 2-second media segments (6 s) on
    // disk in the spool, each listed in its kind's ".ends" file once it is
    // whole; then the process dies.
    const fs::path spool = home_.path() / "state/tessera-recorder/sessions";
    std::string id;
    const auto wholeSegments = [&] {
        int lines = 0;
        std::ifstream ends(spool / id / "screen.ends");
        for (std::string line; std::getline(ends, line);) {
            ++lines;
        }
        return lines;
    };
    ASSERT_TRUE(processEventsUntil(
        [&] {
            const auto recordings = web_.recordings();
            if (id.empty() && !recordings.empty()) {
                id = recordings.front().value("id", "");
            }
            return !id.empty() && wholeSegments() >= 4;
        },
        30s));
    kill(app_->pid(), SIGKILL);
    ASSERT_TRUE(app_->wait(5s).has_value());
    ASSERT_TRUE(fs::exists(spool / id)) << "no spool folder for " << id;

    notifications_.shown.clear();
    startApp();
    ASSERT_TRUE(
        processEventsUntil([&] { return notified("Recording saved on this computer"); }, 30s));
    EXPECT_FALSE(fs::exists(spool / id)) << "the spool folder lingers after recovery";
    std::vector<fs::path> videos;
    for (const auto& entry : fs::recursive_directory_iterator(home_.path() / "videos")) {
        if (entry.path().extension() == ".mp4") {
            videos.push_back(entry.path());
        }
    }
    ASSERT_FALSE(videos.empty()) << "no local copy was saved";
    // The screen copy plays up to the last whole segment on disk: at least the
    // three seen there (6 s), and not more than the few seconds it ran on.
    double longest = 0;
    for (const auto& video : videos) {
        longest = std::max(longest, probeDuration(video));
    }
    EXPECT_GE(longest, 5.7);
    EXPECT_LE(longest, 12.0);
    EXPECT_TRUE(waitForPhase("idle"));
}

}  // namespace
}  // namespace tessera::testing
