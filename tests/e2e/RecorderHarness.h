#pragma once

// The installed tessera-recorder as a user meets it: started from the
// installation prefix on a private X server with a window manager and a tray,
// a private session bus with a notification service, a PulseAudio daemon and
// the reference web app, each test with its own home folders. Tests drive it
// with keys, clicks and the command line and check what a user gets.

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "integration/platform/desktop/DesktopTestDoubles.h"
#include "support/ChildProcess.h"
#include "support/DbusSession.h"
#include "support/PulseSession.h"
#include "support/TempDir.h"
#include "support/WebAppProcess.h"

namespace tessera::testing {

using Clock = std::chrono::steady_clock;

struct Rectangle {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    std::string id;  // the X window id
    int bottom() const { return y + height; }
    int centreX() const { return x + width / 2; }
    int centreY() const { return y + height / 2; }
};

// What `tessera-recorder --status` prints; every field empty when no
// instance answers.
struct RecorderStatus {
    std::string phase;
    std::string link;
    std::string notice;
    std::string error;
    bool retryOffered = false;
};

// The facts a test checks of a joined recording on the server.
struct PlayedMedia {
    double seconds = -1;         // the container's duration
    double videoSeconds = -1;    // the video track's duration
    double audioSeconds = -1;    // the audio track's duration
    int distinctFrames = 0;      // video frames with a picture of their own
    double medianLevelDb = -99;  // the median RMS level of the audio's half seconds, dBFS
};
PlayedMedia playMedia(const std::filesystem::path& file);

// A window of the test process that slides across the screen while the test
// processes events, so that a screen recording has a moving picture.
class MovingWindow {
  public:
    MovingWindow();
    ~MovingWindow();

  private:
    QWidget window_;
    QTimer timer_;
    int step_ = 0;
};

class InstalledRecorderTest : public ::testing::Test {
  protected:
    InstalledRecorderTest();
    ~InstalledRecorderTest() override;

    nlohmann::json defaultSettings() const;
    void writeSettings(const nlohmann::json& values);
    std::filesystem::path settingsFile() const;
    nlohmann::json readSettings() const;

    void startTray();
    void startApp();

    // Runs the installed program with `args` in the app's environment.
    CommandResult command(const std::vector<std::string>& args);
    RecorderStatus status();
    // The phase, read straight from the session bus: cheap enough to poll
    // closely when a test times the phases. Empty when none answers.
    std::string busPhase();
    bool waitForPhase(const std::string& wanted,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits for `wanted` and returns when it was first seen.
    std::optional<Clock::time_point> timeOfPhase(const std::string& wanted,
                                                 std::chrono::milliseconds timeout);

    std::vector<Rectangle> visibleWindows(pid_t pid);
    std::optional<Rectangle> trayIcon();
    std::optional<Rectangle> panel();
    // Opens the panel as a user does, by clicking the tray icon (unless it
    // is open already), and waits until it has the keyboard focus.
    std::optional<Rectangle> openPanelFromTray();
    std::string focusedWindow();

    void key(const std::string& combo);
    std::string clipboardByXclip();
    bool notified(const QString& summary);

    // The only recording the web app holds (null when it holds none or more).
    nlohmann::json onlyRecording();
    std::filesystem::path joinedScreenVideo(const std::string& id) const;

    // First: every bus connection below, the test's own included, is made on
    // the private bus.
    DbusSession& bus_ = DbusSession::sharedInstance();
    TempDir home_;
    PulseSession pulse_;
    WebAppProcess web_;
    std::filesystem::path program_;
    std::map<std::string, std::string> environment_;
    FakeNotificationServer notifications_{QDBusConnection::sessionBus()};
    std::optional<ChildProcess> tray_;
    std::optional<ChildProcess> app_;
    int launches_ = 0;
};

double millisecondsBetween(Clock::time_point from, Clock::time_point to);

}  // namespace tessera::testing
