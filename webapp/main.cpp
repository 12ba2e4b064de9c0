// tessera-webapp: the reference web app for Tessera Recorder.
//
//   tessera-webapp [--port N] [--data-dir DIR] [--public-host NAME]... [--test-hooks]
//
// Listens on the loopback address, port 3123 by default (0 picks a free port).
// Answers only requests addressed to localhost, 127.0.0.1 or [::1], and to each
// NAME (or NAME:PORT) given with --public-host.
// Recordings are stored under DIR, by default $XDG_DATA_HOME/tessera-webapp.
// Prints "Listening on http://127.0.0.1:<port>" once the socket is bound.
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "WebApp.h"

namespace {

std::filesystem::path defaultDataDir() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
        return std::filesystem::path(xdg) / "tessera-webapp";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : ".") / ".local/share/tessera-webapp";
}

int usage(const std::string& problem) {
    std::cerr << "tessera-webapp: " << problem << "\n"
              << "usage: tessera-webapp [--port N] [--data-dir DIR] [--public-host NAME]... "
                 "[--test-hooks]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    tessera::webapp::WebAppOptions options;
    options.dataDir = defaultDataDir();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--test-hooks") {
            options.testHooks = true;
        } else if (arg == "--public-host" && i + 1 < argc) {
            options.publicHosts.emplace_back(argv[++i]);
        } else if ((arg == "--port" || arg == "--data-dir") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--data-dir") {
                options.dataDir = value;
                continue;
            }
            try {
                size_t used = 0;
                options.port = std::stoi(value, &used);
                if (used != value.size() || options.port < 0 || options.port > 65535) {
                    return usage("bad port " + value);
                }
            } catch (const std::exception&) {
                return usage("bad port " + value);
            }
        } else {
            return usage("unknown argument " + arg);
        }
    }

    // SIGINT and SIGTERM are taken by one thread that stops the server, so the
    // process ends through the normal path. Blocked before any other thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        tessera::webapp::WebApp app(options);
        const int port = app.bind();
        std::cout << "Listening on http://" << options.host << ":" << port << std::endl;
        std::mutex mutex;
        std::condition_variable ended;
        bool listening = true;  // guarded by mutex
        std::thread stopper([&] {
            int sig = 0;
            sigwait(&stopSignals, &sig);
            // A stop before the accept loop has begun is lost (a signal right
            // after start): repeat it until listen() has returned.
            std::unique_lock lock(mutex);
            while (listening) {
                lock.unlock();
                app.stop();
                lock.lock();
                ended.wait_for(lock, std::chrono::milliseconds(50), [&] { return !listening; });
            }
        });
        app.listen();
        {
            std::lock_guard lock(mutex);
            listening = false;
        }
        ended.notify_all();
        // listen() also returns when the server fails; wake the stopper thread then.
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    } catch (const std::exception& e) {
        std::cerr << "tessera-webapp: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
