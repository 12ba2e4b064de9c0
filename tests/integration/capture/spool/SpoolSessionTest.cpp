// Whole recordings with a local copy, on a private X server with a window
// manager and the reference web app: a recorder killed mid-recording, sessions
// that end well and one whose server is down for a while.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "SpoolSessionRig.h"
#include "capture/spool/LocalCopy.h"
#include "support/ChildProcess.h"
#include "support/FragmentedMp4.h"
#include "support/TempDir.h"
#include "support/WebAppProcess.h"
#include "support/XvfbSession.h"

namespace tessera::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Kind = RecorderPhase::Kind;

std::vector<fs::path> entriesOf(const fs::path& folder) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        found.push_back(entry.path());
    }
    return found;
}

class SpoolSessionTest : public ::testing::Test {
  protected:
    SpoolSessionTest() { setenv("TMPDIR", dir.path().c_str(), 1); }
    ~SpoolSessionTest() override { unsetenv("TMPDIR"); }

    // Runs the session until its clock reaches `elapsed`, repainting a window
    // all the while: a static screen is encoded as few frames, and the copies'
    // lengths are read from their frames.
    bool recordUntil(SpoolSessionRig& rig, double elapsed) {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (rig.state->elapsed() < elapsed) {
            if (Clock::now() > deadline) {
                return false;
            }
            box.fill(++frame % 2 ? 0x2060C0 : 0xE0A020);
            rig.runUntil([&] { return rig.state->elapsed() >= elapsed; }, 0.05);
        }
        return true;
    }

    XvfbSession x{{640, 480, true}};
    TestWindow box{x.display(),
                   {.x = 200, .y = 150, .width = 240, .height = 180, .overrideRedirect = true}};
    int frame = 0;
    WebAppProcess web;
    TempDir dir;
    LocalCopyFolders folders{dir.path() / "state" / "tessera-recorder" / "sessions",
                             dir.path() / "Videos"};
};

// What the killed helper said last.
struct HelperReport {
    double elapsed = 0;
    int segments = 0;
    std::map<int, std::uint64_t> bytesAfter;  // by segment count
};

HelperReport readReport(const fs::path& log) {
    HelperReport report;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "elapsed") {
            words >> report.elapsed;
        } else if (word == "segment") {
            std::uint64_t bytes = 0;
            words >> report.segments >> bytes;
            report.bytesAfter[report.segments] = bytes;
        }
    }
    return report;
}

// Killed with SIGKILL 7 s into a recording whose segments are 2 s long: the
// next launch saves the three whole segments, 6 s, and removes the spool.
TEST_F(SpoolSessionTest, ARecorderKilledSevenSecondsInLeavesSixPlayableSeconds) {
    const fs::path log = dir.path() / "helper.log";
    ChildProcess helper({TESSERA_SPOOL_HELPER, web.baseUrl()},
                        {{"DISPLAY", x.display()},
                         {"XDG_STATE_HOME", (dir.path() / "state").string()},
                         {"XDG_VIDEOS_DIR", folders.videos.string()},
                         {"TMPDIR", dir.path().string()}},
                        log.string());
    // Waits for the helper's own report and for the third media segment (the
    // fourth, counting the initialization segment) to be whole on disk.
    const auto deadline = Clock::now() + std::chrono::seconds(90);
    bool ready = false;
    while (!ready && Clock::now() < deadline && helper.running()) {
        const HelperReport report = readReport(log);
        const auto sessions = entriesOf(folders.sessions);
        if (report.elapsed >= 7.0 && report.bytesAfter.contains(4) && sessions.size() == 1) {
            const auto end = lastWholeSegmentEnd(sessions[0], "screen");
            ready = end && *end >= report.bytesAfter.at(4);
        }
        if (!ready) {
            box.fill(++frame % 2 ? 0x2060C0 : 0xE0A020);  // waits for the X server
        }
    }
    ASSERT_TRUE(ready) << "the helper did not get 7 s into its recording";
    ASSERT_EQ(::kill(helper.pid(), SIGKILL), 0);
    ASSERT_EQ(helper.wait(std::chrono::seconds(10)), 128 + SIGKILL);
    const HelperReport last = readReport(log);
    ASSERT_LT(last.elapsed, 8.0) << "killed too late for the check to mean anything";

    const auto recovered = recoverAbandonedSessions(folders);
    ASSERT_EQ(recovered.size(), 1u);
    ASSERT_FALSE(recovered[0].files.empty());
    const MediaFacts facts = readMedia(recovered[0].files[0].file);
    ASSERT_TRUE(facts.opened);
    EXPECT_NEAR(facts.videoSeconds, 6.0, 0.3);
    EXPECT_TRUE(entriesOf(folders.sessions).empty()) << "the spool folder is gone";
    EXPECT_EQ(recovered[0].files[0].file.parent_path(), folders.videos);
}

// Three sessions on one rig. One that reaches the server whole leaves neither
// a spool folder nor a copy; with "keep a local copy" on, the next leaves a
// copy and no spool; in the last the server drops every chunk request from
// second 3 to second 9 of 12: it ends with a warning, and its local copy holds
// all of it.
TEST_F(SpoolSessionTest, TheLocalCopyIsKeptWhenAskedOrWhenTheServerMissedSegments) {
    struct Session {
        const char* name;
        bool keep;
        bool serverDown;
    };
    SpoolSessionRig rig(x.display(), web.baseUrl(), folders);
    for (const Session& s : {Session{"arrives whole", false, false},
                             Session{"arrives whole, every copy kept", true, false},
                             Session{"server down for six seconds", false, true}}) {
        SCOPED_TRACE(s.name);
        rig.state->setKeepLocalCopy(s.keep);
        rig.controller->start();
        ASSERT_TRUE(rig.runUntilPhase(Kind::recording, 60)) << rig.state->phase().message();
        const auto started = Clock::now();
        ASSERT_EQ(entriesOf(folders.sessions).size(), 1u) << "the spool exists while recording";
        ASSERT_TRUE(recordUntil(rig, 3));
        if (s.serverDown) {
            web.addFault({{"route", "chunk"}, {"count", -1}, {"drop", true}});
            ASSERT_TRUE(recordUntil(rig, 9));
            web.clearFaults();
            ASSERT_TRUE(recordUntil(rig, 12));
        }
        const double active = std::chrono::duration<double>(Clock::now() - started).count();
        spawn(rig.loop, rig.controller->stop());
        ASSERT_TRUE(rig.runUntilPhase(Kind::done, 120)) << rig.state->phase().message();

        EXPECT_TRUE(entriesOf(folders.sessions).empty()) << "no spool is left";
        if (s.serverDown) {
            ASSERT_TRUE(rig.state->statusMessage());
            EXPECT_NE(rig.state->statusMessage()->find("screen segments failed to upload"),
                      std::string::npos)
                << *rig.state->statusMessage();
        } else {
            EXPECT_EQ(rig.state->statusMessage(), std::nullopt);
        }
        if (!s.keep && !s.serverDown) {
            EXPECT_EQ(rig.state->localCopyPath(), std::nullopt);
            EXPECT_TRUE(entriesOf(folders.videos).empty());
        } else {
            ASSERT_TRUE(rig.state->localCopyPath());
            const fs::path copy = *rig.state->localCopyPath();
            EXPECT_EQ(copy.parent_path(), folders.videos);
            if (s.keep) {
                EXPECT_EQ(entriesOf(folders.videos), std::vector<fs::path>{copy});
            }
            const MediaFacts facts = readMedia(copy);
            ASSERT_TRUE(facts.opened);
            EXPECT_NEAR(facts.videoSeconds, active, s.serverDown ? 0.5 : 0.6);
        }
        rig.controller->acknowledgeDone();
    }
}

}  // namespace
}  // namespace tessera::testing
