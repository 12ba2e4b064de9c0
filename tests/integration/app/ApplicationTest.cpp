// The tessera-recorder program as a user meets it: started from an
// installation on a private X server with a window manager and a tray, a
// private session bus with a notification service, a PulseAudio daemon and
// the reference web app. It is driven by clicks, hot keys and the command
// line, and checked through what a user sees: the tray icon, the panel, the
// clipboard and the notification.

#include <gtest/gtest.h>
#include <signal.h>

#include <QDBusConnection>
#include <QImage>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "integration/platform/desktop/DesktopTestDoubles.h"
#include "support/ChildProcess.h"
#include "support/DbusSession.h"
#include "support/PulseSession.h"
#include "support/QtTestEnvironment.h"
#include "support/TempDir.h"
#include "support/WebAppProcess.h"

namespace tessera::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Rectangle {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int bottom() const { return y + height; }
    int centreX() const { return x + width / 2; }
    int centreY() const { return y + height / 2; }
};

// A copy of the built program laid out as an installation (bin/ beside
// share/applications/), so it runs as the installed application does.
fs::path installInto(const fs::path& prefix) {
    fs::create_directories(prefix / "bin");
    fs::create_directories(prefix / "share/applications");
    const fs::path program = prefix / "bin/tessera-recorder";
    fs::copy_file(TESSERA_RECORDER_PATH, program, fs::copy_options::overwrite_existing);
    fs::copy_file(fs::path(TESSERA_DATA_DIR) / "com.tessera.recorder.desktop",
                  prefix / "share/applications/com.tessera.recorder.desktop",
                  fs::copy_options::overwrite_existing);
    return program;
}

class ApplicationTest : public ::testing::Test {
  protected:
    ApplicationTest() {
        program_ = installInto(home_.path() / "prefix");
        for (const char* dir : {"config", "state", "cache", "data", "tmp"}) {
            fs::create_directories(home_.path() / dir);
        }
        environment_ = {
            {"DISPLAY", qtTestDisplay()},
            {"DBUS_SESSION_BUS_ADDRESS", bus_.address()},
            {"PULSE_SERVER", pulse_.server()},
            {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
            {"XDG_STATE_HOME", (home_.path() / "state").string()},
            {"XDG_CACHE_HOME", (home_.path() / "cache").string()},
            {"XDG_DATA_HOME", (home_.path() / "data").string()},
            {"TMPDIR", (home_.path() / "tmp").string()},
            {"XDG_VIDEOS_DIR", (home_.path() / "videos").string()},
            {"QT_QPA_PLATFORM", "xcb"},
        };
        notifications_.start();
    }
    ~ApplicationTest() override {
        notifications_.stop();
        if (app_) {
            app_->terminate();
        }
        if (HasFailure()) {
            std::ifstream log(home_.path() / "app.log");
            std::printf("---- the app's output\n%s----\n",
                        std::string(std::istreambuf_iterator<char>(log), {}).c_str());
        }
        if (tray_) {
            tray_->terminate();
        }
    }

    void writeSettings(const nlohmann::json& values) {
        const fs::path dir = home_.path() / "config/tessera-recorder";
        fs::create_directories(dir);
        std::ofstream(dir / "settings.json") << values.dump(2);
    }
    nlohmann::json defaultSettings() const {
        return {{"serverBaseURL", web_.baseUrl()},
                {"countdownEnabled", false},
                {"notifyWhenReady", true},
                {"autoCopyShareLink", true},
                {"controlStripVisibility", "hidden"}};
    }

    void startTray() {
        tray_.emplace(
            std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--SetDockType",
                                     "true", "--widthtype", "request", "--height", "24"},
            environment_);
    }
    void startApp() {
        app_.emplace(std::vector<std::string>{program_.string()}, environment_,
                     (home_.path() / "app.log").string());
    }

    CommandResult command(const std::vector<std::string>& args) {
        std::vector<std::string> argv{program_.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return runCommand(argv, environment_);
    }
    // The phase the running instance reports; empty when none answers.
    std::string phase() {
        const auto result = command({"--status"});
        std::istringstream lines(result.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("phase: ", 0) == 0) {
                return line.substr(7);
            }
        }
        return {};
    }
    std::string shareLink() {
        const auto result = command({"--status"});
        std::istringstream lines(result.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("link: ", 0) == 0) {
                return line.substr(6);
            }
        }
        return {};
    }
    bool waitForPhase(const std::string& wanted, std::chrono::milliseconds timeout = 20s) {
        return processEventsUntil([&] { return phase() == wanted; }, timeout);
    }

    // The visible windows of a process, with their frames on the screen.
    std::vector<Rectangle> visibleWindows(pid_t pid) {
        std::vector<Rectangle> windows;
        const auto ids = runCommand(
            {"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}, environment_);
        std::istringstream lines(ids.output);
        for (std::string id; std::getline(lines, id);) {
            const auto geometry =
                runCommand({"xdotool", "getwindowgeometry", "--shell", id}, environment_);
            Rectangle r;
            std::istringstream fields(geometry.output);
            for (std::string field; std::getline(fields, field);) {
                const auto equals = field.find('=');
                if (equals == std::string::npos) {
                    continue;
                }
                const std::string key = field.substr(0, equals);
                const int value = std::atoi(field.c_str() + equals + 1);
                if (key == "X") {
                    r.x = value;
                } else if (key == "Y") {
                    r.y = value;
                } else if (key == "WIDTH") {
                    r.width = value;
                } else if (key == "HEIGHT") {
                    r.height = value;
                }
            }
            windows.push_back(r);
        }
        return windows;
    }
    // The tray icon: the app's small visible window.
    std::optional<Rectangle> trayIcon() {
        for (const auto& r : visibleWindows(app_->pid())) {
            if (r.width > 0 && r.width <= 64 && r.height <= 64) {
                return r;
            }
        }
        return std::nullopt;
    }
    // The panel: the app's wide visible window.
    std::optional<Rectangle> panel() {
        for (const auto& r : visibleWindows(app_->pid())) {
            if (r.width >= 200) {
                return r;
            }
        }
        return std::nullopt;
    }

    void key(const std::string& combo) {
        ASSERT_EQ(runCommand({"xdotool", "key", "--clearmodifiers", combo}, environment_).status,
                  0);
    }
    std::string clipboard() {
        return runCommand({"xclip", "-o", "-selection", "clipboard"}, environment_, 5s).output;
    }
    bool notified(const QString& summary) {
        for (const auto& shown : notifications_.shown) {
            if (shown.summary == summary) {
                return true;
            }
        }
        return false;
    }

    // First: every bus connection below, the test's own included, is made on
    // the private bus.
    DbusSession& bus_ = DbusSession::sharedInstance();
    TempDir home_;
    PulseSession pulse_;
    WebAppProcess web_;
    fs::path program_;
    std::map<std::string, std::string> environment_;
    FakeNotificationServer notifications_{QDBusConnection::sessionBus()};
    std::optional<ChildProcess> tray_;
    std::optional<ChildProcess> app_;
};

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
    EXPECT_EQ(phase(), "idle");

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

TEST_F(ApplicationTest, HotKeysRecordAndTheLinkLandsOnTheClipboardWithANotification) {
    writeSettings(defaultSettings());
    startTray();
    startApp();
    ASSERT_TRUE(waitForPhase("idle")) << "the app did not come up";

    key("shift+super+2");
    ASSERT_TRUE(waitForPhase("recording")) << "Shift+Super+2 did not start a recording";
    // Let a segment or two reach the server.
    ASSERT_TRUE(processEventsUntil(
        [&] {
            for (const auto& r : web_.recordings()) {
                if (r.value("chunks", nlohmann::json::object()).value("screen", 0) >= 1) {
                    return true;
                }
            }
            return false;
        },
        20s));
    key("shift+super+2");
    ASSERT_TRUE(waitForPhase("done", 60s)) << "the recording did not finish";
    const std::string link = shareLink();
    ASSERT_FALSE(link.empty());
    EXPECT_TRUE(processEventsUntil([&] { return clipboard() == link; }, 5s))
        << "clipboard holds '" << clipboard() << "', link is " << link;
    EXPECT_TRUE(processEventsUntil([&] { return notified("Recording ready"); }, 10s));
    const auto recordings = web_.recordings();
    ASSERT_EQ(recordings.size(), 1u);
    EXPECT_EQ(recordings[0].value("status", ""), "ready");
}

TEST_F(ApplicationTest, TheCommandLineDrivesTheRunningInstance) {
    writeSettings(defaultSettings());
    startTray();
    EXPECT_EQ(command({"--status"}).status, 1) << "a status without a running instance";
    startApp();
    ASSERT_TRUE(waitForPhase("idle"));

    ASSERT_EQ(command({"--toggle"}).status, 0);
    ASSERT_TRUE(waitForPhase("recording"));
    ASSERT_EQ(command({"--pause"}).status, 0);
    ASSERT_TRUE(waitForPhase("paused"));
    ASSERT_EQ(command({"--pause"}).status, 0);
    ASSERT_TRUE(waitForPhase("recording"));
    ASSERT_EQ(command({"--toggle"}).status, 0);
    ASSERT_TRUE(waitForPhase("done", 60s));
    EXPECT_FALSE(shareLink().empty());

    // Quitting through SIGTERM ends the app cleanly.
    EXPECT_EQ(app_->terminate(), 0);
}

TEST_F(ApplicationTest, WithoutATrayThePanelOpensAtLaunchAndACorruptSettingsFileIsSetAside) {
    const fs::path settings = home_.path() / "config/tessera-recorder/settings.json";
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
    EXPECT_EQ(phase(), "idle");
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
    EXPECT_EQ(phase(), "idle");
}

}  // namespace
}  // namespace tessera::testing
