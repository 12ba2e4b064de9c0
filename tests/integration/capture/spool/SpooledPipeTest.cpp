// The spooled upload pipe and the local copies on real parts: the reference web
// app over loopback HTTP, real fragmented MP4 segments, FFmpeg reading the
// saved copies back, and a small tmpfs for a full disk.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>

#include "capture/spool/LocalCopy.h"
#include "capture/spool/SpooledUploadPipe.h"
#include "server/CurlTransport.h"
#include "support/EventLoop.h"
#include "support/FragmentedMp4.h"
#include "support/Log.h"
#include "support/RunTask.h"
#include "support/TempDir.h"
#include "support/WebAppProcess.h"

namespace tessera::testing {
namespace {

namespace fs = std::filesystem;

std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A segment of `size` bytes that says which one it is.
ByteBuffer numberedSegment(int index, std::size_t size) {
    ByteBuffer bytes(size);
    std::mt19937 random(static_cast<unsigned>(index));
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    const std::string label = "segment " + std::to_string(index) + ";";
    std::copy(label.begin(), label.end(), bytes.begin());
    return bytes;
}

class SpooledPipeTest : public ::testing::Test {
  protected:
    std::string createRecording() {
        const CreateRecordingRequest request{std::nullopt, false, false, "video/mp4;codecs=avc1",
                                             std::nullopt, 320,   240,   "native"};
        return runTask(loop, api.createRecording(request)).id;
    }
    std::unique_ptr<SpooledUploadPipe> makePipe(const std::string& id, fs::path sessions,
                                                std::size_t windowBytes) {
        auto spool = SessionSpool::create(sessions, {id, 1'700'000'000});
        return std::make_unique<SpooledUploadPipe>(
            loop, api, id, std::nullopt, std::move(spool),
            SpooledUploadPipe::Options{windowBytes, dir.path() / "Videos"});
    }

    TempDir dir;
    WebAppProcess webapp;
    EventLoop loop;
    std::shared_ptr<CurlTransport> transport = std::make_shared<CurlTransport>();
    APIClient api{*Url::parse(webapp.baseUrl()), transport};
};

// The server holds its first chunk request for 20 s while 200 MB of segments
// arrive: beyond the 32 MB window they wait on disk, so resident memory grows
// by about the window; once the server answers, every segment arrives in order.
TEST_F(SpooledPipeTest, ASlowServerCostsNoMoreMemoryThanTheWindowAndGetsEverySegmentInOrder) {
    constexpr std::size_t kWindow = 32u << 20;
    constexpr std::size_t kSegment = 2u << 20;
    constexpr int kSegments = 100;
    const std::string id = createRecording();
    webapp.addFault({{"route", "chunk"}, {"nth", 1}, {"count", 1}, {"delayMs", 20000}});
    auto pipe = makePipe(id, dir.path() / "sessions", kWindow);
    auto sink = pipe->screenSink();
    const std::size_t before = residentBytes();
    std::size_t peak = before;
    std::uint64_t pushed = 0;
    for (int i = 0; i < kSegments; ++i) {
        sink(numberedSegment(i, kSegment));
        pushed += kSegment;
        // Segments come no faster than the disk takes them, as from a recording.
        runTask(loop, pipe->spool()->flush());
        ASSERT_EQ(pipe->spool()->bytesWritten(), pushed);
        peak = std::max(peak, residentBytes());
    }
    EXPECT_TRUE(webapp.storedChunks(id, "screen").empty())
        << "the segments all arrived before the server answered";
    EXPECT_LE(peak - before, kWindow + 2 * kSegment + (8u << 20))
        << "resident growth in MB: " << (peak - before) / (1 << 20);
    EXPECT_GE(pipe->screenWindow()->segmentsOnDisk(), 80u);

    runTask(loop, pipe->closeAtStop(), std::chrono::seconds(120));
    const auto stored = webapp.storedChunks(id, "screen");
    ASSERT_EQ(stored.size(), static_cast<std::size_t>(kSegments));
    for (int i = 0; i < kSegments; ++i) {
        const ByteBuffer expected = numberedSegment(i, kSegment);
        ASSERT_EQ(stored[i], std::string(expected.begin(), expected.end())) << "segment " << i;
    }
    EXPECT_EQ(pipe->failureSummary(), std::nullopt);
    runTask(loop, pipe->discardLocalCopy());
    EXPECT_TRUE(fs::is_empty(dir.path() / "sessions"));
}

// A spool on a 2 MB tmpfs fills up: it stops with a warning, its file ends at
// its last whole segment, and every segment still reaches the server.
TEST_F(SpooledPipeTest, AFullDiskStopsTheSpoolAndNotTheUpload) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    const fs::path small = dir.path() / "small";
    fs::create_directories(small);
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m"), 0) << std::strerror(errno);
    struct Unmount {
        fs::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};

    std::vector<std::string> warnings;
    logging::LogCapture capture(
        [&](logging::Level level, std::string_view component, std::string_view message) {
            if (level == logging::Level::warning && component == "spool") {
                warnings.emplace_back(message);
            }
        });
    const std::string id = createRecording();
    auto pipe = makePipe(id, small / "sessions", 1u << 20);
    auto sink = pipe->screenSink();
    constexpr std::size_t kSegment = 300u << 10;
    constexpr int kSegments = 12;  // 3.6 MB: more than the disk holds
    for (int i = 0; i < kSegments; ++i) {
        sink(numberedSegment(i, kSegment));
    }
    runTask(loop, pipe->closeAtStop(), std::chrono::seconds(120));

    EXPECT_TRUE(pipe->spool()->stopped());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("No space left"), std::string::npos) << warnings[0];
    const std::string spooled = fileText(small / "sessions" / id / "screen.mp4");
    EXPECT_GT(spooled.size(), 0u);
    EXPECT_EQ(spooled.size() % kSegment, 0u) << "the file ends at a whole segment";
    for (std::size_t i = 0; i < spooled.size() / kSegment; ++i) {
        const ByteBuffer expected = numberedSegment(static_cast<int>(i), kSegment);
        EXPECT_EQ(spooled.substr(i * kSegment, kSegment),
                  std::string(expected.begin(), expected.end()));
    }
    EXPECT_EQ(webapp.storedChunks(id, "screen").size(), static_cast<std::size_t>(kSegments));
    EXPECT_EQ(pipe->failureSummary(), std::nullopt);
    runTask(loop, pipe->discardLocalCopy());
}

// Sessions left behind: one cut in the middle of its last fragment, one with
// nothing but its description. The first becomes a playable MP4 of its whole
// fragments, named by its date; both folders go.
TEST_F(SpooledPipeTest, AbandonedSessionsAreSavedUpToTheirLastWholeFragment) {
    const auto segments = makeFragmentedMp4Segments(dir.path(), 5.0, "320x240");
    ASSERT_EQ(segments.size(), 6u);  // the initialization segment and one per second
    const LocalCopyFolders folders{dir.path() / "sessions", dir.path() / "Videos"};
    {
        auto spool = SessionSpool::create(folders.sessions, {"crashed", 1'700'000'000});
        for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
            spool->append("screen", std::make_shared<const ByteBuffer>(segments[i].begin(),
                                                                       segments[i].end()));
        }
        auto empty = SessionSpool::create(folders.sessions, {"empty", 1'700'000'100});
    }
    // The crash came while the last fragment was being written.
    std::ofstream(folders.sessions / "crashed" / "screen.mp4", std::ios::app)
        << segments.back().substr(0, segments.back().size() / 2);

    const auto recovered = recoverAbandonedSessions(folders);
    ASSERT_EQ(recovered.size(), 1u);
    EXPECT_EQ(recovered[0].recordingID, "crashed");
    ASSERT_EQ(recovered[0].files.size(), 1u);
    const fs::path file = recovered[0].files[0].file;
    EXPECT_EQ(file, folders.videos / (localCopyBaseName(1'700'000'000) + ".mp4"));
    const MediaFacts facts = readMedia(file);
    ASSERT_TRUE(facts.opened);
    EXPECT_NEAR(facts.videoSeconds, 4.0, 0.1);
    EXPECT_NEAR(recovered[0].files[0].durationSeconds, 4.0, 0.1);
    EXPECT_TRUE(fs::is_empty(folders.sessions)) << "no spool folder lingers";
    EXPECT_TRUE(recoverAbandonedSessions(folders).empty()) << "each session is told once";
}

}  // namespace
}  // namespace tessera::testing
