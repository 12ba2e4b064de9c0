#include "support/Log.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "support/Cancellation.h"

namespace tessera::logging {
namespace {

spdlog::level::level_enum toSpdlog(Level level) {
    switch (level) {
        case Level::debug:
            return spdlog::level::debug;
        case Level::info:
            return spdlog::level::info;
        case Level::warning:
            return spdlog::level::warn;
        case Level::error:
            return spdlog::level::err;
    }
    return spdlog::level::err;
}

std::shared_ptr<spdlog::logger> makeStderrLogger(Level minimum) {
    auto logger = std::make_shared<spdlog::logger>(
        "tessera", std::make_shared<spdlog::sinks::stderr_sink_mt>());
    logger->set_level(toSpdlog(minimum));
    return logger;
}

struct LogRegistry {
    std::mutex mutex;
    std::shared_ptr<spdlog::logger> logger = makeStderrLogger(Level::warning);
    std::uint64_t nextCaptureId = 1;
    std::map<std::uint64_t, LogCapture::Handler> captures;
};

LogRegistry& registry() {
    // Never destroyed: threads that outlive main's locals may still log.
    static auto* instance = new LogRegistry;
    return *instance;
}

}  // namespace

std::filesystem::path defaultLogDirectory() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
        return std::filesystem::path(state) / "tessera-recorder";
    }
    if (const char* home = std::getenv("HOME"); home && *home) {
        return std::filesystem::path(home) / ".local" / "state" / "tessera-recorder";
    }
    return {};
}

LogOptions applicationLogOptions() {
    LogOptions options;
    options.directory = defaultLogDirectory();
    options.toStderr = ::isatty(STDERR_FILENO) == 1;
    return options;
}

bool configure(const LogOptions& options) {
    std::vector<spdlog::sink_ptr> sinks;
    bool fileOpened = true;
    if (!options.directory.empty()) {
        try {
            std::filesystem::create_directories(options.directory);
            sinks.push_back(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                (options.directory / options.fileName).string(), options.maxFileBytes,
                options.maxFiles));
        } catch (const std::exception&) {
            fileOpened = false;
        }
    }
    if (options.toStderr || !fileOpened || sinks.empty()) {
        sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
    }
    auto logger = std::make_shared<spdlog::logger>("tessera", sinks.begin(), sinks.end());
    logger->set_level(toSpdlog(options.minimumLevel));
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ %v");
    // Info lines are few (a start, a summary per recording), and a user or a
    // script following the log wants them when they happen, not at exit.
    logger->flush_on(spdlog::level::info);
    {
        std::lock_guard lock(registry().mutex);
        registry().logger = logger;
    }
    if (!fileOpened) {
        write(Level::error, "log",
              "could not open the log file in " + options.directory.string() +
                  "; logging to stderr only");
    }
    return fileOpened;
}

void write(Level level, std::string_view component, std::string_view message) {
    std::shared_ptr<spdlog::logger> logger;
    std::vector<LogCapture::Handler> captures;
    {
        std::lock_guard lock(registry().mutex);
        logger = registry().logger;
        for (const auto& [id, handler] : registry().captures) {
            captures.push_back(handler);
        }
    }
    logger->log(toSpdlog(level), "[{}] {}", component, message);
    for (const auto& handler : captures) {
        handler(level, component, message);
    }
}

void handled(std::string_view component, std::string_view context, const std::exception_ptr& error,
             Level level) {
    const Level effective = isCancellation(error) ? Level::debug : level;
    std::string line(context);
    line += ": ";
    line += describeError(error);
    write(effective, component, line);
}

void flush() {
    std::shared_ptr<spdlog::logger> logger;
    {
        std::lock_guard lock(registry().mutex);
        logger = registry().logger;
    }
    logger->flush();
}

LogCapture::LogCapture(Handler handler) {
    std::lock_guard lock(registry().mutex);
    id_ = registry().nextCaptureId++;
    registry().captures.emplace(id_, std::move(handler));
}

LogCapture::~LogCapture() {
    std::lock_guard lock(registry().mutex);
    registry().captures.erase(id_);
}

}  // namespace tessera::logging
