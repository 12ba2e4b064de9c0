#include "Application.h"

#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QScreen>
#include <chrono>

#include "app/AppState.h"
#include "app/Discovery.h"
#include "app/JsonFileSettingsStore.h"
#include "app/ScreenLookup.h"
#include "camera/effects/ModelDirectory.h"
#include "camera/widgets/CameraBubbleRecording.h"
#include "capture/CaptureController.h"
#include "capture/MediaSession.h"
#include "capture/RecordingStartSequence.h"
#include "capture/spool/LocalCopy.h"
#include "media/MicLevelMeter.h"
#include "overlays/widgets/QtWindowFactory.h"
#include "platform/X11CaptureStream.h"
#include "platform/desktop/DbusReadyNotifications.h"
#include "platform/desktop/InstanceBus.h"
#include "platform/desktop/InstanceCommand.h"
#include "platform/desktop/LinuxDeviceAccess.h"
#include "platform/desktop/QtMainExecutor.h"
#include "platform/desktop/QtShareActions.h"
#include "platform/desktop/ShellRelauncher.h"
#include "platform/desktop/X11ScreenPermission.h"
#include "platform/desktop/XdgAutostart.h"
#include "platform/pulse/PulseMicLevelInput.h"
#include "platform/pulse/PulseMicrophoneSource.h"
#include "platform/v4l2/V4l2CameraSource.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Windows.h"
#include "platform/x11/XcbGlobalHotKeys.h"
#include "server/CurlTransport.h"
#include "server/ServerPresence.h"
#include "support/HostClock.h"
#include "support/Log.h"
#include "support/SerialQueue.h"
#include "support/Task.h"
#include "views/MainPanelWindow.h"
#include "views/SettingsWindow.h"
#include "views/TrayIcon.h"

namespace tessera {

namespace {

constexpr const char* kComponent = "app";

// How long shutdown waits for the controller's tasks (a stop that is
// uploading, a camera closing) before the process ends anyway.
constexpr auto kShutdownLimit = std::chrono::seconds(10);

// Runs the Qt event loop until the task has ended or the limit has passed.
void runUntilDone(Executor& executor, Task<void> task, std::chrono::milliseconds limit) {
    auto handle = spawn(executor, std::move(task));
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!handle.isDone() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    if (!handle.isDone()) {
        logging::warning(kComponent, "shutdown did not finish in time; ending anyway");
    }
}

// What the user is told once after recordings of a crashed run were saved.
std::string recoveryMessage(const std::vector<RecoveredCopy>& recovered) {
    std::size_t files = 0;
    std::filesystem::path folder;
    for (const auto& copy : recovered) {
        files += copy.files.size();
        if (!copy.files.empty() && folder.empty()) {
            folder = copy.files.front().file.parent_path();
        }
    }
    const std::string what = recovered.size() == 1 ? "A recording that was interrupted"
                                                   : std::to_string(recovered.size()) +
                                                         " recordings that were interrupted";
    return what + " " + (recovered.size() == 1 ? "was" : "were") + " saved as " +
           std::to_string(files) + (files == 1 ? " file" : " files") + " in " + folder.string() +
           ". Nothing was uploaded.";
}

}  // namespace

struct Application::Parts {
    QtMainExecutor executor;
    SystemHostClock clock;
    JsonFileSettingsStore store{JsonFileSettingsStore::defaultPath()};
    X11ScreenPermission permission;
    ShellRelauncher relauncher{[] {
        QCoreApplication::quit();
    }};
    X11DisplaySource displays;
    X11WindowSource windowList;
    PulseMicrophoneSource microphones;
    V4l2CameraSource cameraDevices;
    LinuxDeviceAccess access;
    std::unique_ptr<AppState> state;
    std::unique_ptr<DeviceDiscovery> discovery;

    X11CaptureStreamFactory streams{std::nullopt, clock};
    MediaSessionFactory media{streams, clock};
    std::shared_ptr<HttpTransport> http = std::make_shared<CurlTransport>();
    std::shared_ptr<HttpTransport> probeHttp = std::make_shared<CurlTransport>();
    std::unique_ptr<MicLevelMeter> levelMeter;
    std::unique_ptr<LevelMeterPort> meterPort;

    QtShareActions share;
    std::unique_ptr<DbusReadyNotifications> notifications;
    std::unique_ptr<XcbGlobalHotKeys> hotKeys;
    std::unique_ptr<overlays::QtWindowFactory> windows;
    std::unique_ptr<CameraBubbleFactory> cameras;
    std::unique_ptr<RecordingStartSequence> startSequence;
    std::unique_ptr<CaptureController> controller;

    XdgAutostart launchAtLogin;
    std::unique_ptr<views::TrayIcon> tray;
    std::shared_ptr<views::MainPanelWindow> panel;
    std::unique_ptr<views::SettingsWindow> settings;
    std::unique_ptr<InstanceBus> bus;
    Subscription settingsRequests;
    // Saves the sessions a crashed run left in the spool, off the main thread.
    SerialQueue recovery{"com.tessera.recorder.recovery"};
    TaskHandle<void> recoveryTask;
    bool shutDown = false;
};

Application::Application() : parts_(std::make_unique<Parts>()) {
    Parts& p = *parts_;
    p.state =
        std::make_unique<AppState>(p.store, p.permission, p.relauncher, p.displays.mainDisplayID());
    p.discovery = std::make_unique<DeviceDiscovery>(
        *p.state,
        DeviceDiscovery::Sources{p.displays, p.windowList, p.microphones, p.cameraDevices},
        DeviceDiscovery::Identity{getpid(), "tessera-recorder"});
    p.discovery->refreshDevices();

    AppState& state = *p.state;
    p.levelMeter = std::make_unique<MicLevelMeter>(MicLevelMeter::Ports{
        .main = p.executor,
        .makeInput = PulseMicLevelInput::factory([&state]() -> std::optional<std::string> {
            if (state.selectedMicID().empty()) {
                return std::nullopt;
            }
            return state.selectedMicID();
        }),
        .isAuthorized = [] { return true; },
    });
    p.meterPort = std::make_unique<LevelMeterPort>(*p.levelMeter);

    p.notifications = std::make_unique<DbusReadyNotifications>(
        p.share, [&state]() -> std::optional<Url> { return state.shareURL(); });
    p.hotKeys = std::make_unique<XcbGlobalHotKeys>([&state](const std::string& message) {
        logging::warning("hot-keys", message);
        state.setStatusMessage(message);
    });
    p.windows = std::make_unique<overlays::QtWindowFactory>(p.executor, p.displays);
    p.cameras = std::make_unique<CameraBubbleFactory>(p.cameraDevices, state, p.displays,
                                                      p.executor, p.clock, defaultModelDirectory());
    p.startSequence = std::make_unique<RecordingStartSequence>(RecordingStartPorts{
        .executor = p.executor,
        .screenPermission = p.permission,
        .access = p.access,
        .cameras = *p.cameras,
        .windows = *p.windows,
        .displays = p.displays,
        .windowList = p.windowList,
        .media = p.media,
        .share = p.share,
        .http = p.http,
        .endpoints = {},
        .ownProcessID = getpid(),
        .localCopies = LocalCopyFolders::fromEnvironment(),
    });
    p.controller = std::make_unique<CaptureController>(
        state,
        CaptureControllerPorts{p.executor, *p.hotKeys, *p.windows, *p.meterPort, *p.startSequence,
                               p.share, *p.notifications, *p.cameras, p.access},
        p.displays.mainDisplayID());
    CaptureController& controller = *p.controller;

    p.tray = std::make_unique<views::TrayIcon>(state, controller);
    p.settings = std::make_unique<views::SettingsWindow>(state, controller, p.launchAtLogin,
                                                         [] { QCoreApplication::quit(); });
    views::TrayIcon& tray = *p.tray;
    DeviceDiscovery& discovery = *p.discovery;
    views::SettingsWindow& settings = *p.settings;
    p.panel = std::make_shared<views::MainPanelWindow>(
        state, controller,
        views::MainPanelPorts{
            .executor = p.executor,
            .checkServer = [&state,
                            http = p.probeHttp] { return checkServerReachable(state, http); },
            .refreshDevices = [&discovery] { discovery.refreshDevices(); },
            .refreshWindows = [&discovery] { return discovery.refreshWindows(); },
            .screenPermission = &p.permission,
            .micMeter = p.levelMeter.get(),
            .share = &p.share,
            .openSettings = [&settings] { settings.open(); },
            .anchorGeometry = [&tray] { return tray.geometry(); },
            // The default camera is the first one listed.
            .defaultCameraName = [&state]() -> std::optional<std::string> {
                if (state.cameras().empty()) {
                    return std::nullopt;
                }
                return state.cameras().front().name;
            },
            // PulseAudio's default source is not the first of the list: the
            // row says "System Default" rather than guess a name.
            .defaultMicrophoneName = {},
        });
    controller.setMainPanel(p.panel);
    controller.statusItemDisplayID = [&tray, &discovery]() -> std::optional<std::uint32_t> {
        const auto name = tray.screenName();
        return name ? discovery.displayID(*name) : std::nullopt;
    };
    // A view that asks for a settings category opens the window on it.
    p.settingsRequests = state.subscribe([&state, &settings, &executor = p.executor] {
        executor.post([&state, &settings] {
            if (const auto category = state.requestedSettingsCategory()) {
                settings.open(category);
            }
        });
    });

    p.bus = std::make_unique<InstanceBus>(InstanceBus::Handlers{
        .toggle = [&controller] { controller.handleShortcut(); },
        .togglePause =
            [&controller, &state] {
                if (state.phase().is(RecorderPhase::Kind::recording)) {
                    controller.pause();
                } else if (state.phase().is(RecorderPhase::Kind::paused)) {
                    controller.resume();
                }
            },
        .cancel = [&controller] { controller.runOwned(controller.cancel()); },
        .showPanel =
            [panel = std::weak_ptr(p.panel)] {
                if (auto shown = panel.lock()) {
                    shown->show();
                }
            },
        .phase = [&state] { return state.phase(); },
        .shareLink = [&state] { return state.shareURL(); },
        .statusMessage = [&state] { return state.statusMessage(); },
        .canRetryFinalize = [&state] { return state.canRetryFinalize(); },
    });
}

Application::~Application() {
    if (!parts_->shutDown) {
        shutdown();
    }
}

bool Application::claimInstance() {
    if (parts_->bus->claim()) {
        return true;
    }
    // Without a session bus there is no other instance to defer to: the app
    // runs, only the command-line control and the single-instance check are
    // missing (the bus adapter has said so in the log).
    const auto bus = QDBusConnection::sessionBus();
    return !bus.isConnected() || bus.interface() == nullptr;
}

void Application::launch() {
    Parts& p = *parts_;
    // A settings file that could not be used says so, with where it was kept.
    if (const auto& error = p.store.loadError()) {
        logging::warning("settings", *error);
        p.state->setStatusMessage(*error);
    }
    if (!p.tray->available()) {
        // Without a tray the panel is the only way in; it opens at launch.
        p.panel->show();
    }
    p.recoveryTask = spawn(p.executor, recoverInterruptedSessions());
    logging::info(kComponent, "started");
}

Task<void> Application::recoverInterruptedSessions() {
    Parts& p = *parts_;
    // Only this instance owns the spool (it holds the session-bus name), and
    // no recording has started yet: every session folder there is abandoned.
    const auto folders = LocalCopyFolders::fromEnvironment();
    // Named before the co_await: GCC 12 destroys a temporary closure in a
    // co_await expression twice.
    auto work = [folders] {
        return recoverAbandonedSessions(folders);
    };
    auto recovered = co_await p.recovery.onQueue(std::move(work));
    std::erase_if(recovered, [](const RecoveredCopy& copy) { return copy.files.empty(); });
    if (recovered.empty()) {
        co_return;
    }
    const std::string message = recoveryMessage(recovered);
    logging::info("local-copy", message);
    if (p.state->phase().is(RecorderPhase::Kind::idle)) {
        p.state->setStatusMessage(message);
    }
    try {
        const auto authorization = co_await p.notifications->authorization();
        if (authorization == ReadyNotifications::Authorization::authorized) {
            co_await p.notifications->post("Recording saved on this computer", message);
        }
    } catch (const CancelledError&) {
        throw;
    } catch (...) {
        logging::handled("local-copy", "the notification of a saved copy was not shown",
                         std::current_exception());
    }
}

void Application::shutdown() {
    Parts& p = *parts_;
    if (p.shutDown) {
        return;
    }
    p.shutDown = true;
    p.panel->hide();
    p.settings->hide();
    p.recoveryTask.cancel();
    runUntilDone(p.executor, p.controller->shutdown(),
                 std::chrono::duration_cast<std::chrono::milliseconds>(kShutdownLimit));
    p.store.flush();
    logging::info(kComponent, "stopped");
}

}  // namespace tessera
