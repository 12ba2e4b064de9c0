#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/Log.h"
#include "support/TempDir.h"

namespace tessera::logging {
namespace {

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
    std::uintmax_t total = 0;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "logs")) {
        total += entry.file_size();
        ++files;
    }
    EXPECT_LE(files, 3);
    EXPECT_LE(total, 3u * 4096u + 512u);
    // No flush: an info line is on disk as soon as it is written.
    const std::string current = readFile(dir.path() / "logs" / "tessera-recorder.log");
    EXPECT_NE(current.find("[bench] line 399"), std::string::npos);
    EXPECT_EQ(current.find("line 0 "), std::string::npos);
    resetToDefault();
}

}  // namespace
}  // namespace tessera::logging
