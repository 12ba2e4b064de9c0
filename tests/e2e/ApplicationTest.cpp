// The installed program across launches on one rig: the tray icon and its
// panel, one instance per session, a recording cut short by a kill and saved
// at the next launch, a panel setting kept across a restart, and a corrupt
// settings file set aside.

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

TEST_F(ApplicationTest, TrayPanelOneInstanceRecoveryAfterAKillSettingsAcrossRestarts) {
    ASSERT_NO_FATAL_FAILURE(startWithTray());
    const fs::path spool = home_.path() / "state/tessera-recorder/sessions";
    std::string id;
    {
        SCOPED_TRACE("launch 1: the tray icon, its panel, a second instance, a kill");
        std::optional<Rectangle> icon;
        ASSERT_TRUE(processEventsUntil([&] { return (icon = trayIcon()).has_value(); }, 10s));
        EXPECT_FALSE(panel().has_value()) << "a window was shown at launch";
        const auto shown = openPanelFromTray();
        ASSERT_TRUE(shown);
        saveScreenArtifact("app-panel-idle.png");
        EXPECT_GE(shown->y, icon->bottom()) << "the panel is not under the icon";
        EXPECT_LE(shown->x, icon->centreX());
        EXPECT_GE(shown->x + shown->width, icon->centreX());
        EXPECT_LE(shown->x + shown->width, 1280);

        ChildProcess second({program_.string()}, environment_);
        const auto status = second.wait(10s);
        ASSERT_TRUE(status.has_value()) << "a second instance kept running";
        EXPECT_EQ(*status, 0);
        EXPECT_TRUE(app_->running());

        // Killed once the spool lists the initialization segment and three
        // whole 2-second media segments (6 s) in its ".ends" file.
        ASSERT_EQ(command({"--toggle"}).status, 0);
        ASSERT_TRUE(waitForPhase("recording"));
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
    }
    {
        SCOPED_TRACE("launch 2: the killed recording saved; a setting changed in the panel");
        notifications_.shown.clear();
        startApp();
        ASSERT_TRUE(
            processEventsUntil([&] { return notified("Recording saved on this computer"); }, 30s));
        EXPECT_FALSE(fs::exists(spool / id)) << "the spool folder lingers after recovery";
        double longest = 0;
        for (const auto& entry : fs::recursive_directory_iterator(home_.path() / "videos")) {
            if (entry.path().extension() == ".mp4") {
                longest = std::max(longest, probeSeconds(entry.path()));
            }
        }
        // Up to the last whole segment on disk: at least the three seen (6 s),
        // not more than the few seconds it ran on.
        EXPECT_GE(longest, 5.7) << "no local copy holds the recorded seconds";
        EXPECT_LE(longest, 12.0);
        ASSERT_TRUE(waitForPhase("idle"));

        // The record mode by keyboard: Tab from the close button to the mode
        // switch, an arrow within it, Space on "Window".
        ASSERT_TRUE(openPanelFromTray());
        key("Tab");
        key("Right");
        key("space");
        ASSERT_TRUE(processEventsUntil(
            [&] { return readSettings().value("captureMode", "") == "window"; }, 10s))
            << "the mode switch did not store the window mode: " << readSettings().dump();
        saveScreenArtifact("e2e-settings-window-mode.png");
        EXPECT_EQ(app_->terminate(), 0) << "SIGTERM did not end the app cleanly";
    }
    {
        SCOPED_TRACE("launch 3: the setting read back");
        startApp();
        ASSERT_TRUE(waitForPhase("idle"));
        // In window mode with no window chosen the start does nothing; in
        // display mode the phase leaves idle before the command returns.
        ASSERT_EQ(command({"--toggle"}).status, 0);
        EXPECT_EQ(busPhase(), "idle") << "a recording started: the window mode was not read back";
        EXPECT_EQ(app_->terminate(), 0);
        EXPECT_EQ(readSettings().value("captureMode", ""), "window");
    }
    {
        SCOPED_TRACE("launch 4: no tray and a corrupt settings file");
        tray_.reset();
        std::ofstream(settingsFile()) << "{ \"serverBaseURL\": ";
        startApp();
        std::optional<Rectangle> shown;
        ASSERT_TRUE(processEventsUntil([&] { return (shown = panel()).has_value(); }, 10s))
            << "no panel at launch without a tray";
        saveScreenArtifact("app-no-tray-corrupt-settings.png");
        bool setAside = false;
        for (const auto& entry : fs::directory_iterator(settingsFile().parent_path())) {
            setAside |= entry.path().filename().string().starts_with("settings.json.corrupt-");
        }
        EXPECT_TRUE(setAside) << "the unreadable file was not kept aside";
        EXPECT_TRUE(waitForPhase("idle"));
    }
}

}  // namespace
}  // namespace tessera::testing
