#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "MediaProbe.h"
#include "media/MicFileWriter.h"
#include "support/ManualExecutor.h"
#include "support/RecorderError.h"
#include "support/SyntheticCapture.h"
#include "support/WaitUntil.h"

namespace tessera {
namespace {

class MicFileWriterTest : public ::testing::Test {
  protected:
    testing::ScopedTmpDir tmp;
};

// finish() awaited on a manual executor standing in for the main thread.
bool finish(MicFileWriter& writer) {
    ManualExecutor executor;
    auto handle = spawn(executor, writer.finish());
    EXPECT_TRUE(executor.runUntil([&] { return handle.isDone(); }, std::chrono::seconds(30)));
    return handle.result();
}

void appendTone(MicFileWriter& writer, double fromSeconds, double toSeconds) {
    for (int64_t frame = std::llround(fromSeconds * 48000); frame < std::llround(toSeconds * 48000);
         frame += 480) {
        writer.append(testing::makeTone(MediaTime(frame, 48000), 480, 660, frame));
    }
}

TEST_F(MicFileWriterTest, AFreshPrivateFileNeverWrittenThroughAnExistingOne) {
    MicFileWriter first;
    MicFileWriter second;
    EXPECT_NE(first.url(), second.url());
    EXPECT_EQ(first.url().parent_path(), tmp.path());
    EXPECT_FALSE(std::filesystem::exists(first.url()));
    first.start();
    struct stat st {};
    ASSERT_EQ(stat(first.url().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Someone else got there first (or planted a link).
    std::filesystem::create_symlink("/dev/null", second.url());
    EXPECT_THROW(second.start(), RecorderError);
    EXPECT_EQ(second.status(), WriterStatus::failed);
    EXPECT_TRUE(std::filesystem::is_symlink(second.url()));
}

// 1 s of tone from `firstSeconds`: leading silence aligns it to zero unless it
// starts 10 s or more late (where the unit test has the thresholds). Samples
// before the start are dropped.
TEST_F(MicFileWriterTest, LeadingSilenceAlignsTheFileToTimeZero) {
    struct Case {
        double firstSeconds;
        double expectedStart;
        double expectedEnd;
    };
    const Case cases[] = {{2.5, 0.0, 3.5}, {12.0, 12.0, 13.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstSeconds);
        MicFileWriter writer;
        appendTone(writer, 0, 0.5);
        EXPECT_FALSE(writer.didAppendSamples());
        writer.start();
        appendTone(writer, c.firstSeconds, c.firstSeconds + 1.0);
        ASSERT_TRUE(finish(writer));
        EXPECT_EQ(writer.status(), WriterStatus::completed);
        const testing::MediaProbe probe = testing::probeFile(writer.url());
        ASSERT_TRUE(probe.audio);
        EXPECT_EQ(probe.audio->codec, "aac");
        EXPECT_EQ(probe.audio->channels, 2);
        EXPECT_NEAR(probe.audio->startSeconds, c.expectedStart, 0.03);
        EXPECT_NEAR(probe.audio->endSeconds, c.expectedEnd, 0.03);
        writer.deleteFile();
        EXPECT_FALSE(std::filesystem::exists(writer.url()));
    }
}

TEST_F(MicFileWriterTest, AClockDriftIsResampledAwayWithoutGapsOrCuts) {
    // Buffer times 0.2 % ahead of or behind their sample count, as a device's
    // clock runs against the host's: over 37.5 s they part by 75 ms, well past
    // the tolerance at which a hole is filled with silence or an overlap cut.
    const int64_t frames = 75 * 24000;
    for (const double rate : {1.002, 0.998}) {
        SCOPED_TRACE(rate);
        MicFileWriter writer;
        writer.start();
        for (int64_t frame = 0; frame < frames; frame += 480) {
            // Handed over no faster than the file takes them, so none is dropped.
            ASSERT_TRUE(testing::waitUntil([&] { return writer.backlog() < MediaTime(1, 1); }));
            const MediaTime pts(std::llround(static_cast<double>(frame) * rate * 1000), 48'000'000);
            writer.append(testing::makeTone(pts, 480, 660, frame));
        }
        ASSERT_TRUE(finish(writer));
        EXPECT_EQ(writer.buffersDropped(), 0);
        const testing::MediaProbe probe = testing::probeFile(writer.url());
        ASSERT_TRUE(probe.audio);
        const double end = static_cast<double>(frames) * rate / 48000;
        EXPECT_NEAR(probe.audio->endSeconds, end, 0.02);
        // The tone never breaks off before that.
        const auto& peaks = probe.audio->peakPerMillisecond;
        const auto lastMs = static_cast<size_t>(end * 1000) - 20;
        ASSERT_GT(peaks.size(), lastMs);
        int quietMilliseconds = 0;
        for (size_t ms = 10; ms < lastMs; ++ms) {
            quietMilliseconds += peaks[ms] < 0.05f ? 1 : 0;
        }
        EXPECT_EQ(quietMilliseconds, 0);
        writer.deleteFile();
    }
}

// A file with no samples, and one whose writer goes away unfinished, is removed.
TEST_F(MicFileWriterTest, NoFileIsLeftWithoutSamplesOrAfterItsWriter) {
    MicFileWriter empty;
    empty.start();
    ASSERT_TRUE(std::filesystem::exists(empty.url()));
    empty.append(AudioSample{});  // nothing usable
    EXPECT_FALSE(finish(empty));
    EXPECT_FALSE(std::filesystem::exists(empty.url()));
    EXPECT_EQ(empty.status(), WriterStatus::cancelled);

    std::filesystem::path path;
    {
        MicFileWriter unfinished;
        unfinished.start();
        appendTone(unfinished, 0, 0.2);
        path = unfinished.url();
        ASSERT_TRUE(std::filesystem::exists(path));
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(MicFileWriterTest, AStalledDiskCostsAudioNotMemory) {
    testing::Gate disk;
    disk.close();
    MicFileWriter writer(disk.passer());
    writer.start();
    // 10 s handed over at once while the disk does not move: what waits is
    // bounded, the rest is dropped and counted.
    appendTone(writer, 0, 10);
    ASSERT_TRUE(disk.waitUntilSomeoneWaits());
    const int64_t accepted = 1000 - writer.buffersDropped();
    EXPECT_GT(writer.buffersDropped(), 0);
    EXPECT_LE(writer.backlog(), MicFileWriter::kMaxBacklog);
    // The backlog plus what was encoded before the first write blocked (the
    // first 32 KB of output, under 2 s of audio).
    EXPECT_LE(static_cast<double>(accepted) * 0.01, MicFileWriter::kMaxBacklog.seconds() + 2.0);
    disk.open();
    ASSERT_TRUE(finish(writer));
    // The gaps became silence: the file keeps the timeline.
    const testing::MediaProbe probe = testing::probeFile(writer.url());
    ASSERT_TRUE(probe.audio);
    EXPECT_NEAR(probe.audio->startSeconds, 0.0, 0.03);
    EXPECT_LE(probe.audio->endSeconds, 10.05);
    writer.deleteFile();
}

// The final flush blocks until the main executor has run other work, which it
// can do only if finish() waits elsewhere.
TEST_F(MicFileWriterTest, FinishWaitsOffTheMainThread) {
    ManualExecutor executor;
    std::mutex mutex;
    std::condition_variable changed;
    bool finishing = false;
    bool otherWorkRan = false;
    bool writeTimedOut = false;
    MicFileWriter writer([&] {
        std::unique_lock lock(mutex);
        if (!finishing) {
            return;
        }
        writeTimedOut =
            !changed.wait_for(lock, std::chrono::seconds(10), [&] { return otherWorkRan; });
    });
    writer.start();
    appendTone(writer, 0, 1);
    {
        std::lock_guard lock(mutex);
        finishing = true;
    }
    auto handle = spawn(executor, writer.finish());
    executor.post([&] {
        std::lock_guard lock(mutex);
        otherWorkRan = true;
        changed.notify_all();
    });
    ASSERT_TRUE(executor.runUntil([&] { return handle.isDone(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(handle.result());
    EXPECT_FALSE(writeTimedOut);
    writer.deleteFile();
}

}  // namespace
}  // namespace tessera
