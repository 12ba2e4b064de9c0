// tessera-recorder: the tray application, or a command for the running one.

#include <curl/curl.h>
extern "C" {
#include <libavutil/log.h>
}

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Application.h"
#include "platform/desktop/InstanceCommand.h"
#include "support/Log.h"

namespace {

constexpr const char* kUsage =
    "usage: tessera-recorder [--toggle | --pause | --cancel | --status | --help | --version]\n"
    "\n"
    "Without an option, starts the recorder in the tray (or opens the panel of the\n"
    "one already running).\n"
    "  --toggle   start recording, or stop and share the running recording\n"
    "  --pause    pause or resume the running recording\n"
    "  --cancel   discard the recording being started or made\n"
    "  --status   print the recorder's phase and its last share link, then the\n"
    "             panel's notice, error and offered retry when there are any\n";

// SIGTERM and SIGINT end the app as quitting from its menu does: the signal
// handler only writes to a pipe, and the event loop quits when it reads it.
int gSignalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = write(gSignalPipe[1], &byte, 1);
}

void quitOnSignals(QApplication& app) {
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        tessera::logging::warning("app", "no pipe for signals; SIGTERM ends the app abruptly");
        return;
    }
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        while (read(gSignalPipe[0], &byte, 1) > 0) {
        }
        tessera::logging::info("app", "quitting on a signal");
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("tessera-recorder %s\n", TESSERA_VERSION);
            return 0;
        }
    }
    // A command for the running instance: sent over the session bus, and done.
    if (const int status = tessera::runInstanceCommand(args); status >= 0) {
        return status;
    }

    tessera::logging::configure(tessera::logging::applicationLogOptions());
    // FFmpeg's own messages would only repeat, on stderr, the failures the
    // recorder already reports in its log with their context.
    av_log_set_level(AV_LOG_QUIET);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    QApplication::setApplicationName("tessera-recorder");
    QApplication::setApplicationDisplayName("Tessera Recorder");
    QApplication::setApplicationVersion(TESSERA_VERSION);
    QApplication::setDesktopFileName("com.tessera.recorder");
    QApplication app(argc, argv);
    // The app lives in the tray: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    quitOnSignals(app);

    // A second launch opens the running instance's panel and ends.
    if (tessera::handOverToRunningInstance()) {
        tessera::logging::info("app", "already running; its panel opens");
        curl_global_cleanup();
        return 0;
    }
    int status = 0;
    try {
        tessera::Application recorder;
        if (!recorder.claimInstance()) {
            // Another instance came up at the same moment and owns the name.
            tessera::logging::warning("app", "another instance owns the session-bus name; ending");
        } else {
            recorder.launch();
            status = QApplication::exec();
            recorder.shutdown();
        }
    } catch (const std::exception& error) {
        // Nothing can be shown without the parts that failed: say it where the
        // user started the app, and in the log.
        tessera::logging::error("app", std::string("cannot start: ") + error.what());
        std::fprintf(stderr, "tessera-recorder: cannot start: %s\n", error.what());
        status = 1;
    }
    curl_global_cleanup();
    tessera::logging::flush();
    return status;
}
