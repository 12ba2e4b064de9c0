#include "e2e/RecorderHarness.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QPalette>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "support/QtTestEnvironment.h"

namespace tessera::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The value of a "key: value" line of `output`, or empty.
std::string field(const std::string& output, const std::string& key) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + ": ", 0) == 0) {
            return line.substr(key.size() + 2);
        }
    }
    return {};
}

}  // namespace

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double probeSeconds(const fs::path& file) {
    const auto result = runCommand({"ffprobe", "-v", "error", "-show_entries", "format=duration",
                                    "-of", "csv=p=0", file.string()});
    return result.status == 0 ? std::atof(result.output.c_str()) : -1;
}

PlayedMedia playMedia(const fs::path& file) {
    PlayedMedia media;
    media.seconds = probeSeconds(file);
    // One checksum per decoded frame: a moving picture gives many distinct ones.
    std::set<std::string> checksums;
    std::istringstream frames(runCommand({"ffmpeg", "-v", "error", "-i", file.string(), "-map",
                                          "0:v:0", "-f", "framemd5", "-"},
                                         {}, 60s)
                                  .output);
    for (std::string line; std::getline(frames, line);) {
        if (!line.empty() && line[0] != '#') {
            checksums.insert(line.substr(line.rfind(',') + 1));
        }
    }
    media.distinctFrames = static_cast<int>(checksums.size());
    // The median level of the half seconds: a gap in the tone (the player
    // starved on a loaded machine) does not move it. The filter prints to
    // standard error.
    std::istringstream levels(
        runCommand({"/bin/sh", "-c",
                    "ffmpeg -nostats -i '" + file.string() +
                        "' -map 0:a:0 -af asetnsamples=24000,astats=metadata=1:reset=1,"
                        "ametadata=print:key=lavfi.astats.Overall.RMS_level -f null - 2>&1"},
                   {}, 60s)
            .output);
    std::vector<double> halfSeconds;
    const std::string key = "lavfi.astats.Overall.RMS_level=";
    for (std::string line; std::getline(levels, line);) {
        const auto at = line.find(key);
        if (at != std::string::npos) {
            halfSeconds.push_back(std::atof(line.c_str() + at + key.size()));
        }
    }
    if (!halfSeconds.empty()) {
        std::sort(halfSeconds.begin(), halfSeconds.end());
        media.medianLevelDb = halfSeconds[halfSeconds.size() / 2];
    }
    return media;
}

MovingWindow::MovingWindow() {
    window_.setWindowTitle("Moving test window");
    window_.setAutoFillBackground(true);
    QPalette palette = window_.palette();
    palette.setColor(QPalette::Window, QColor(220, 60, 40));
    window_.setPalette(palette);
    window_.resize(240, 160);
    window_.move(100, 300);
    window_.show();
    // Slides right and back a few points per tick.
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        step_ = (step_ + 1) % 160;
        const int offset = step_ < 80 ? step_ : 160 - step_;
        window_.move(100 + 8 * offset, 300);
    });
    timer_.start(30);
}

InstalledRecorderTest::InstalledRecorderTest() {
    program_ = fs::path(TESSERA_E2E_PREFIX) / "bin/tessera-recorder";
    if (!fs::exists(program_)) {
        throw std::runtime_error(program_.string() + " is not installed (the e2e_install test)");
    }
    for (const char* dir : {"config", "state", "cache", "data", "tmp", "videos"}) {
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

InstalledRecorderTest::~InstalledRecorderTest() {
    notifications_.stop();
    if (app_) {
        app_->terminate();
    }
    if (HasFailure()) {
        for (int launch = 1; launch <= launches_; ++launch) {
            std::ifstream log(home_.path() / ("app-" + std::to_string(launch) + ".log"));
            std::printf("---- the app's output (launch %d)\n%s----\n", launch,
                        std::string(std::istreambuf_iterator<char>(log), {}).c_str());
        }
    }
    if (tray_) {
        tray_->terminate();
    }
}

fs::path InstalledRecorderTest::settingsFile() const {
    return home_.path() / "config/tessera-recorder/settings.json";
}

nlohmann::json InstalledRecorderTest::readSettings() const {
    std::ifstream in(settingsFile());
    return nlohmann::json::parse(in, nullptr, false);
}

void InstalledRecorderTest::startWithTray() {
    const nlohmann::json settings = {
        {"serverBaseURL", web_.baseUrl()}, {"countdownEnabled", false},
        {"notifyWhenReady", true},         {"autoCopyShareLink", true},
        {"systemAudioEnabled", true},      {"controlStripVisibility", "hidden"}};
    fs::create_directories(settingsFile().parent_path());
    std::ofstream(settingsFile()) << settings.dump(2);
    tray_.emplace(
        std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--SetDockType",
                                 "true", "--widthtype", "request", "--height", "24"},
        environment_);
    startApp();
    ASSERT_TRUE(waitForPhase("idle")) << "the app did not come up";
}

void InstalledRecorderTest::startApp() {
    ++launches_;
    app_.emplace(std::vector<std::string>{program_.string()}, environment_,
                 (home_.path() / ("app-" + std::to_string(launches_) + ".log")).string());
}

CommandResult InstalledRecorderTest::command(const std::vector<std::string>& args) {
    std::vector<std::string> argv{program_.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, environment_);
}

RecorderStatus InstalledRecorderTest::status() {
    const auto result = command({"--status"});
    if (result.status != 0) {
        return {};
    }
    return {field(result.output, "link"), field(result.output, "notice"),
            field(result.output, "error"), field(result.output, "retry") == "finalize"};
}

std::string InstalledRecorderTest::busPhase() {
    auto message = QDBusMessage::createMethodCall(
        QStringLiteral("com.tessera.recorder"), QStringLiteral("/com/tessera/recorder"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    message << QStringLiteral("com.tessera.recorder.Control") << QStringLiteral("Phase");
    const auto reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return {};
    }
    return qvariant_cast<QDBusVariant>(reply.arguments().front())
        .variant()
        .toString()
        .toStdString();
}

bool InstalledRecorderTest::waitForPhase(const std::string& wanted,
                                         std::chrono::milliseconds timeout) {
    return processEventsUntil([&] { return busPhase() == wanted; }, timeout);
}

std::vector<Rectangle> InstalledRecorderTest::visibleWindows(pid_t pid) {
    std::vector<Rectangle> windows;
    const auto ids = runCommand(
        {"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}, environment_);
    std::istringstream lines(ids.output);
    for (std::string id; std::getline(lines, id);) {
        const auto geometry =
            runCommand({"xdotool", "getwindowgeometry", "--shell", id}, environment_);
        std::map<std::string, int> values;  // X=, Y=, WIDTH=, HEIGHT= lines
        std::istringstream fields(geometry.output);
        for (std::string line; std::getline(fields, line);) {
            if (const auto equals = line.find('='); equals != std::string::npos) {
                values[line.substr(0, equals)] = std::atoi(line.c_str() + equals + 1);
            }
        }
        windows.push_back({values["X"], values["Y"], values["WIDTH"], values["HEIGHT"], id});
    }
    return windows;
}

std::optional<Rectangle> InstalledRecorderTest::trayIcon() {
    for (const auto& r : visibleWindows(app_->pid())) {
        if (r.width > 0 && r.width <= 64 && r.height <= 64) {
            return r;
        }
    }
    return std::nullopt;
}

std::optional<Rectangle> InstalledRecorderTest::panel() {
    for (const auto& r : visibleWindows(app_->pid())) {
        if (r.width >= 200) {
            return r;
        }
    }
    return std::nullopt;
}

std::optional<Rectangle> InstalledRecorderTest::openPanelFromTray() {
    std::optional<Rectangle> shown = panel();
    if (!shown) {
        std::optional<Rectangle> icon;
        if (!processEventsUntil([&] { return (icon = trayIcon()).has_value(); }, 10s)) {
            ADD_FAILURE() << "no tray icon";
            return std::nullopt;
        }
        if (runCommand({"xdotool", "mousemove", std::to_string(icon->centreX()),
                        std::to_string(icon->centreY()), "click", "1"},
                       environment_)
                .status != 0) {
            ADD_FAILURE() << "xdotool could not click the tray icon";
            return std::nullopt;
        }
        if (!processEventsUntil([&] { return (shown = panel()).has_value(); }, 10s)) {
            ADD_FAILURE() << "the click did not open the panel";
            return std::nullopt;
        }
    }
    const auto focused = [&] {
        return runCommand({"xdotool", "getwindowfocus"}, environment_).output == shown->id + "\n";
    };
    if (!processEventsUntil(focused, 10s)) {
        ADD_FAILURE() << "the panel did not take the keyboard focus";
        return std::nullopt;
    }
    return shown;
}

void InstalledRecorderTest::key(const std::string& combo) {
    ASSERT_EQ(runCommand({"xdotool", "key", "--clearmodifiers", combo}, environment_).status, 0);
}

std::string InstalledRecorderTest::clipboardByXclip() {
    return runCommand({"xclip", "-o", "-selection", "clipboard"}, environment_, 5s).output;
}

bool InstalledRecorderTest::notified(const QString& summary) {
    for (const auto& shown : notifications_.shown) {
        if (shown.summary == summary) {
            return true;
        }
    }
    return false;
}

nlohmann::json InstalledRecorderTest::onlyRecording() {
    const auto recordings = web_.recordings();
    return recordings.size() == 1 ? recordings.front() : nlohmann::json();
}

fs::path InstalledRecorderTest::joinedScreenVideo(const std::string& id) const {
    return web_.dataDir() / "media" / id / "screen.mp4";
}

}  // namespace tessera::testing
