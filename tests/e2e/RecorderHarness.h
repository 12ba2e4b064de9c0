#pragma once

// The installed tessera-recorder started from its prefix on the private X
// server, session bus, PulseAudio daemon and web app, with its own home
// folders; tests drive it with keys, clicks and the command line.

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

// What `tessera-recorder --status` prints.
struct RecorderStatus {
    std::string link;
    std::string notice;
    std::string error;
    bool retryOffered = false;
};

// What a joined recording on the server plays.
struct PlayedMedia {
    double seconds = -1;         // the container's duration
    int distinctFrames = 0;      // video frames with a picture of their own
    double medianLevelDb = -99;  // the median RMS level of the audio's half seconds, dBFS
};
PlayedMedia playMedia(const std::filesystem::path& file);
// The container's duration, or -1.
double probeSeconds(const std::filesystem::path& file);

// A window that slides across the screen while the test processes events.
class MovingWindow {
  public:
    MovingWindow();

  private:
    QWidget window_;
    QTimer timer_;
    int step_ = 0;
};

class InstalledRecorderTest : public ::testing::Test {
  protected:
    InstalledRecorderTest();
    ~InstalledRecorderTest() override;

    std::filesystem::path settingsFile() const;
    nlohmann::json readSettings() const;

    // Writes settings for the test's web app, starts a tray and the app, and
    // waits until the app is idle.
    void startWithTray();
    void startApp();

    CommandResult command(const std::vector<std::string>& args);
    RecorderStatus status();
    // The phase read from the session bus: cheap enough to time phases by.
    std::string busPhase();
    bool waitForPhase(const std::string& wanted,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

    std::vector<Rectangle> visibleWindows(pid_t pid);
    std::optional<Rectangle> trayIcon();
    std::optional<Rectangle> panel();
    // Clicks the tray icon unless the panel is open; waits for its focus.
    std::optional<Rectangle> openPanelFromTray();

    void key(const std::string& combo);
    std::string clipboardByXclip();
    bool notified(const QString& summary);

    // The only recording the web app holds (null when it holds none or more).
    nlohmann::json onlyRecording();
    std::filesystem::path joinedScreenVideo(const std::string& id) const;

    // First: every bus connection below is made on the private bus.
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
