#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tessera::logging {

enum class Level { debug, info, warning, error };

struct LogOptions {
    // Folder of the rotating log file; empty writes no file.
    std::filesystem::path directory;
    std::string fileName = "tessera-recorder.log";
    std::size_t maxFileBytes = 2 * 1024 * 1024;
    std::size_t maxFiles = 3;
    // Also write to stderr. The application sets this when stderr is a terminal.
    bool toStderr = false;
    Level minimumLevel = Level::info;
};

// `$XDG_STATE_HOME/tessera-recorder`, or `~/.local/state/tessera-recorder`.
std::filesystem::path defaultLogDirectory();

// What the application logs to: the rotating file in defaultLogDirectory(),
// and stderr too when stderr is a terminal.
LogOptions applicationLogOptions();

// Replaces the process's log outputs. Before the first call, warnings and errors
// go to stderr so that nothing is lost in programs that never configure the log
// (tests, tools). Returns false, and keeps logging to stderr, when the log file
// cannot be opened.
bool configure(const LogOptions& options);

// Writes one line "[component] message" at `level`. Safe from any thread.
void write(Level level, std::string_view component, std::string_view message);

inline void debug(std::string_view component, std::string_view message) {
    write(Level::debug, component, message);
}
inline void info(std::string_view component, std::string_view message) {
    write(Level::info, component, message);
}
inline void warning(std::string_view component, std::string_view message) {
    write(Level::warning, component, message);
}
inline void error(std::string_view component, std::string_view message) {
    write(Level::error, component, message);
}

// Logs a handled error: "<context>: <description of error>". Cancellations are
// logged at debug level, since they are how tasks are meant to end.
void handled(std::string_view component, std::string_view context, const std::exception_ptr& error,
             Level level = Level::warning);

// Flushes every output; the application calls it before it exits.
void flush();

// Receives every line written while it lives, whatever the configured level.
// Tests use it to check that an error was logged rather than dropped.
class LogCapture {
  public:
    using Handler =
        std::function<void(Level, std::string_view component, std::string_view message)>;
    explicit LogCapture(Handler handler);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

  private:
    std::uint64_t id_;
};

}  // namespace tessera::logging
