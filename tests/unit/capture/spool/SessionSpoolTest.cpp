// The session spool on a real file system: private folders and files, links
// refused, segments appended in order and read back, and the upload window
// that keeps only a bounded amount of them in memory.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>

#include "capture/spool/LocalCopy.h"
#include "capture/spool/SessionSpool.h"
#include "capture/spool/SpoolWindow.h"
#include "support/ManualExecutor.h"
#include "support/RecorderError.h"
#include "support/TempDir.h"

namespace tessera::testing {
namespace {

namespace fs = std::filesystem;

SharedBytes bytesOf(const std::string& text) {
    return std::make_shared<const ByteBuffer>(text.begin(), text.end());
}

std::string textOf(const SharedBytes& bytes) {
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<none>";
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Runs a task on the manual executor until it ends; the spool's queue resumes
// it from its own thread.
template <class T>
T await(ManualExecutor& executor, Task<T> task) {
    auto handle = spawn(executor, std::move(task));
    EXPECT_TRUE(executor.runUntil([&] { return handle.isDone(); }));
    return handle.result();
}

// A permissive umask, so that modes come from the spool and not from the umask.
struct OpenUmask {
    OpenUmask() : previous(::umask(0)) {}
    ~OpenUmask() { ::umask(previous); }
    mode_t previous;
};

class SessionSpoolTest : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path sessions = dir.path() / "state" / "tessera-recorder" / "sessions";
    ManualExecutor executor;
};

TEST_F(SessionSpoolTest, FoldersAndFilesArePrivateAndHoldEachKindsSegmentsInOrder) {
    OpenUmask umask;
    auto spool = SessionSpool::create(sessions, {"rec-1", 1'700'000'000});
    const auto init = spool->append("screen", bytesOf("INIT"));
    const auto first = spool->append("screen", bytesOf("first;"));
    spool->append("camera", bytesOf("camera-init"));
    const auto second = spool->append("screen", bytesOf("second"));
    await(executor, spool->flush());

    ASSERT_TRUE(init && first && second);
    EXPECT_EQ(first->offset, 4u);
    EXPECT_EQ(second->offset, 10u);
    EXPECT_EQ(fileText(sessions / "rec-1" / "screen.mp4"), "INITfirst;second");
    EXPECT_EQ(fileText(sessions / "rec-1" / "camera.mp4"), "camera-init");
    EXPECT_EQ(textOf(await(executor, spool->read("screen", *first))), "first;");

    EXPECT_EQ(modeOf(sessions), 0700u);
    EXPECT_EQ(modeOf(sessions / "rec-1"), 0700u);
    for (const char* name : {"screen.mp4", "screen.ends", "camera.mp4", "session.json"}) {
        EXPECT_EQ(modeOf(sessions / "rec-1" / name), 0600u) << name;
    }

    await(executor, spool->discard());
    EXPECT_FALSE(fs::exists(sessions / "rec-1"));
    EXPECT_EQ(spool->append("screen", bytesOf("late")), std::nullopt);
    EXPECT_TRUE(fs::exists(sessions)) << "only the session's own folder goes";
}

TEST_F(SessionSpoolTest, ASpoolPathThroughASymbolicLinkIsRefused) {
    const fs::path elsewhere = dir.path() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directories(sessions.parent_path());
    fs::create_directory_symlink(elsewhere, sessions);
    EXPECT_THROW(SessionSpool::create(sessions, {"rec-1", 0}), RecorderError);
    EXPECT_TRUE(fs::is_empty(elsewhere));

    fs::remove(sessions);
    fs::create_directories(sessions);
    fs::create_directory_symlink(elsewhere, sessions / "rec-2");
    EXPECT_THROW(SessionSpool::create(sessions, {"rec-2", 0}), RecorderError);
    EXPECT_TRUE(fs::is_empty(elsewhere));

    for (const char* id : {"..", "a/b", ""}) {
        EXPECT_THROW(SessionSpool::create(sessions, {id, 0}), RecorderError) << id;
    }
}

// A window of 100 bytes and 40-byte segments: two wait in memory, the rest on
// disk, and the consumer gets all of them back in order.
TEST_F(SessionSpoolTest, SegmentsBeyondTheWindowWaitOnDiskAndComeBackInOrder) {
    auto spool = SessionSpool::create(sessions, {"rec-1", 0});
    SpoolWindow window(spool, "screen", 100);
    std::vector<std::string> pushed;
    for (int i = 0; i < 10; ++i) {
        pushed.push_back(std::string(39, static_cast<char>('a' + i)) + "|");
        window.push(ByteBuffer(pushed.back().begin(), pushed.back().end()));
        EXPECT_LE(window.bytesInMemory(), 100u);
    }
    window.finish();
    EXPECT_EQ(window.segmentsOnDisk(), 8u);

    std::vector<std::string> taken;
    while (auto segment = await(executor, window.next())) {
        taken.push_back(textOf(*segment));
    }
    EXPECT_EQ(taken, pushed);
    EXPECT_EQ(window.bytesInMemory(), 0u);
    EXPECT_FALSE(window.readFailed());
}

// A kind file that is a link stops the spool without writing through it.
// Without a spool, or with one that stopped so, every segment still reaches
// the consumer.
TEST_F(SessionSpoolTest, SegmentsThatNeverReachedTheDiskAreStillDelivered) {
    const fs::path target = dir.path() / "target";
    std::ofstream(target) << "untouched";
    auto stopping = SessionSpool::create(sessions, {"rec-1", 0});
    fs::create_symlink(target, sessions / "rec-1" / "screen.mp4");
    for (auto spool : {std::shared_ptr<SessionSpool>(), stopping}) {
        SCOPED_TRACE(spool ? "stopped spool" : "no spool");
        SpoolWindow window(spool, "screen", 10);
        for (const char* text : {"one-segment", "two-segment", "three"}) {
            window.push(ByteBuffer(text, text + std::strlen(text)));
        }
        window.finish();
        std::vector<std::string> taken;
        while (auto segment = await(executor, window.next())) {
            taken.push_back(textOf(*segment));
        }
        EXPECT_EQ(taken, (std::vector<std::string>{"one-segment", "two-segment", "three"}));
        EXPECT_FALSE(window.readFailed());
    }
    await(executor, stopping->flush());
    EXPECT_TRUE(stopping->stopped());
    EXPECT_EQ(fileText(target), "untouched");
    EXPECT_EQ(stopping->append("screen", bytesOf("more")), std::nullopt);
}

// Without the XDG variables (the end-to-end tests set them) the copies go to
// the videos folder of the user-dirs file (with $HOME), else ~/Videos; the
// spool under ~/.local/state.
TEST(LocalCopyFoldersTest, FollowTheDesktopsFolders) {
    TempDir dir;
    const fs::path config = dir.path() / "config";
    fs::create_directories(config);
    struct Restore {
        std::map<std::string, std::optional<std::string>> saved;
        void set(const std::string& name, const std::optional<std::string>& value) {
            if (!saved.contains(name)) {
                const char* old = std::getenv(name.c_str());
                saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
            }
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
        ~Restore() {
            for (const auto& [name, value] : saved) {
                value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
            }
        }
    } env;
    env.set("HOME", dir.path().string());
    env.set("XDG_CONFIG_HOME", config.string());
    env.set("XDG_STATE_HOME", std::nullopt);
    env.set("XDG_VIDEOS_DIR", std::nullopt);
    EXPECT_EQ(LocalCopyFolders::fromEnvironment().videos,
              dir.path() / "Videos" / "Tessera Recorder");
    EXPECT_EQ(LocalCopyFolders::fromEnvironment().sessions,
              dir.path() / ".local/state/tessera-recorder/sessions");

    std::ofstream(config / "user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                                "XDG_VIDEOS_DIR=\"$HOME/Filme\"\n";
    EXPECT_EQ(LocalCopyFolders::fromEnvironment().videos,
              dir.path() / "Filme" / "Tessera Recorder");
}

}  // namespace
}  // namespace tessera::testing
