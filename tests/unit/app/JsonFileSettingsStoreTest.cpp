#include <gtest/gtest.h>

#include <fstream>
#include <latch>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/JsonFileSettingsStore.h"
#include "support/TempDir.h"

namespace tessera {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> folderEntries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Values surviving a restart run in the application's end-to-end test.
TEST(JsonFileSettingsStoreTest, AMissingFileStartsEmptyAndReadingNeverWrites) {
    TempDir dir;
    const auto path = dir.path() / "nested" / "settings.json";
    JsonFileSettingsStore store(path);
    EXPECT_FALSE(store.get("flag"));
    store.flush();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(store.movedAsidePath());
}

TEST(JsonFileSettingsStoreTest, BurstsAreWrittenOffTheCallingThreadCoalescedAndInOrder) {
    TempDir dir;
    const auto path = dir.path() / "settings.json";
    const auto caller = std::this_thread::get_id();
    std::mutex mutex;
    std::vector<std::thread::id> writers;
    std::latch firstWriteStarted(1);
    std::latch release(1);
    JsonFileSettingsStore store(path, [&] {
        bool first = false;
        {
            std::lock_guard lock(mutex);
            writers.push_back(std::this_thread::get_id());
            first = writers.size() == 1;
        }
        if (first) {
            firstWriteStarted.count_down();
            if (std::this_thread::get_id() != caller) {
                release.wait();  // a disk that hangs must not hang the caller
            }
        }
    });
    store.set("size", -1);
    firstWriteStarted.wait();
    for (int i = 0; i < 1000; ++i) {
        store.set("size", i);
        store.set("flag", i % 2 == 0);
    }
    EXPECT_EQ(*store.get("size"), 999) << "memory has every assignment at once";
    release.count_down();
    store.flush();

    std::lock_guard lock(mutex);
    EXPECT_LE(writers.size(), 3u) << "2000 assignments while a write was held up";
    for (const auto& writer : writers) {
        EXPECT_NE(writer, caller);
    }
    const auto saved = nlohmann::json::parse(readText(path));
    EXPECT_EQ(saved["size"], 999);
    EXPECT_EQ(saved["flag"], false);
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"settings.json"})
        << "no temporary file is left behind";
}

// Each unusable file is moved aside beside the settings under its own name (several
// within one second too), byte for byte, and the store starts from the defaults.
TEST(JsonFileSettingsStoreTest, UnusableFileIsMovedAsideIntactAndDefaultsApply) {
    TempDir dir;
    const auto path = dir.path() / "settings.json";
    std::vector<std::pair<fs::path, std::string>> moved;
    for (const std::string content : {"{\"captureMode\": \"window\"", "[1, 2, 3]", ""}) {
        SCOPED_TRACE(content);
        writeText(path, content);
        JsonFileSettingsStore store(path);
        EXPECT_FALSE(store.get("captureMode"));
        EXPECT_TRUE(store.loadError());
        ASSERT_TRUE(store.movedAsidePath());
        EXPECT_EQ(store.movedAsidePath()->parent_path(), dir.path());
        EXPECT_TRUE(
            store.movedAsidePath()->filename().string().starts_with("settings.json.corrupt-"));
        moved.emplace_back(*store.movedAsidePath(), content);
        store.set("captureMode", "display");  // a later write keeps the moved files
        store.flush();
    }
    for (const auto& [file, content] : moved) {
        EXPECT_EQ(readText(file), content) << file;
    }
    EXPECT_EQ(folderEntries(dir.path()).size(), moved.size() + 1);
}

TEST(JsonFileSettingsStoreTest, WriteFailureKeepsTheValueAndIsReported) {
    TempDir dir;
    writeText(dir.path() / "blocker", "not a folder");
    JsonFileSettingsStore store(dir.path() / "blocker" / "settings.json");
    EXPECT_NO_THROW(store.set("cameraBubbleSize", 300.0));
    EXPECT_EQ(*store.get("cameraBubbleSize"), 300.0);
    store.flush();
    ASSERT_TRUE(store.lastWriteError());
    EXPECT_NE(store.lastWriteError()->find("could not be saved"), std::string::npos);

    fs::remove(dir.path() / "blocker");
    store.set("other", 1);
    store.remove("other");
    store.flush();
    EXPECT_FALSE(store.lastWriteError());
    const JsonFileSettingsStore reopened(dir.path() / "blocker" / "settings.json");
    EXPECT_EQ(*reopened.get("cameraBubbleSize"), 300.0);
    EXPECT_FALSE(reopened.get("other"));
}

TEST(JsonFileSettingsStoreTest, TextThatIsNotUtf8IsKeptInMemoryAndTheRestIsSaved) {
    TempDir dir;
    const auto path = dir.path() / "settings.json";
    JsonFileSettingsStore store(path);
    store.set("cameraBackgroundImagePath", "/pics/\xff.png");
    store.set("captureMode", "window");
    EXPECT_EQ(*store.get("cameraBackgroundImagePath"), "/pics/\xff.png");
    store.flush();
    EXPECT_TRUE(store.lastWriteError());
    JsonFileSettingsStore reopened(path);
    EXPECT_FALSE(reopened.movedAsidePath());
    EXPECT_EQ(*reopened.get("captureMode"), "window");
}

}  // namespace
}  // namespace tessera
