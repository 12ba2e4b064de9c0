#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Cancellation.h"
#include "support/Log.h"
#include "support/TempDir.h"

namespace tessera::logging {
namespace {

struct Line {
    Level level;
    std::string component;
    std::string message;
};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Back to what a program that never configures the log gets.
void resetToDefault() {
    LogOptions options;
    options.minimumLevel = Level::warning;
    configure(options);
}

TEST(Log, HandledErrorsNameTheirComponentAndCancellationsAreOnlyDebug) {
    std::vector<Line> lines;
    LogCapture capture([&](Level level, std::string_view component, std::string_view message) {
        lines.push_back({level, std::string(component), std::string(message)});
    });
    handled("uploader", "screen segment 3 lost",
            std::make_exception_ptr(std::runtime_error("connection refused")));
    handled("uploader", "drain ended", std::make_exception_ptr(CancelledError{}));

    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, Level::warning);
    EXPECT_EQ(lines[0].component, "uploader");
    EXPECT_EQ(lines[0].message, "screen segment 3 lost: connection refused");
    EXPECT_EQ(lines[1].level, Level::debug);
}

TEST(Log, WritesToARotatingFileThatStaysBounded) {
    testing::TempDir dir;
    LogOptions options;
    options.directory = dir.path() / "logs";
    options.maxFileBytes = 4096;
    options.maxFiles = 2;
    ASSERT_TRUE(configure(options));
    for (int i = 0; i < 400; ++i) {
        info("bench", "line " + std::to_string(i) + " with some padding to fill the file");
    }
    flush();
    std::uintmax_t total = 0;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "logs")) {
        total += entry.file_size();
        ++files;
    }
    EXPECT_LE(files, 3);
    EXPECT_LE(total, 3u * 4096u + 512u);
    const std::string current = readFile(dir.path() / "logs" / "tessera-recorder.log");
    EXPECT_NE(current.find("[bench] line 399"), std::string::npos);
    EXPECT_EQ(current.find("line 0 "), std::string::npos);
    // An info line is on disk as soon as it is written, without a flush: a
    // user following the log sees a recording's summary when it happens.
    info("bench", "the last line");
    EXPECT_NE(readFile(dir.path() / "logs" / "tessera-recorder.log").find("the last line"),
              std::string::npos);
    resetToDefault();
}

TEST(Log, TheApplicationLogsUnderTheStateFolder) {
    const char* saved = std::getenv("XDG_STATE_HOME");
    const std::string previous = saved ? saved : "";
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("XDG_STATE_HOME", "/var/tmp/state-test", 1);
    EXPECT_EQ(applicationLogOptions().directory, "/var/tmp/state-test/tessera-recorder");
    // A relative path is not a base directory and is ignored.
    setenv("XDG_STATE_HOME", "relative", 1);
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(applicationLogOptions().directory, "/home/someone/.local/state/tessera-recorder");
    setenv("HOME", home.c_str(), 1);
    if (saved) {
        setenv("XDG_STATE_HOME", previous.c_str(), 1);
    } else {
        unsetenv("XDG_STATE_HOME");
    }
}

TEST(Log, AnUnwritableFolderFallsBackToStderrAndSaysSo) {
    testing::TempDir dir;
    const auto blocker = dir.path() / "file";
    std::ofstream(blocker) << "not a folder";
    std::vector<std::string> messages;
    LogCapture capture(
        [&](Level, std::string_view, std::string_view message) { messages.emplace_back(message); });
    LogOptions options;
    options.directory = blocker / "logs";
    EXPECT_FALSE(configure(options));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("could not open the log file"), std::string::npos);
    resetToDefault();
}

}  // namespace
}  // namespace tessera::logging
