// Whole recordings by the global key and by the command line, with a moving
// window and a tone in the system audio: the web app's joined video plays for
// the active time, with a moving picture and the tone's level.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <cstdio>
#include <string>

#include "e2e/RecorderHarness.h"
#include "support/QtTestEnvironment.h"

namespace tessera::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A sine of amplitude 0.5 has an RMS of -9.0 dBFS; AAC and the mix leave it
// within a few dB.
constexpr double kToneAmplitude = 0.5;
constexpr double kToneLevelDb = -9.03;

// Lets `seconds` of recording pass while the moving window keeps moving.
void recordFor(double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    processEventsUntil([&] { return Clock::now() >= until; },
                       std::chrono::milliseconds(static_cast<int>(seconds * 1000) + 1000));
}

class RecordingTest : public InstalledRecorderTest {
  protected:
    // The only recording on the server is ready and its joined video plays for
    // `activeSeconds` with a moving picture and the tone; returns its id.
    std::string expectReadyAndPlaying(double activeSeconds) {
        const auto recording = onlyRecording();
        EXPECT_EQ(recording.is_null() ? "" : recording.value("status", ""), "ready");
        const std::string id = recording.is_null() ? "" : recording.value("id", "");
        const PlayedMedia media = playMedia(joinedScreenVideo(id));
        std::printf(
            "[ figure ] active time %.3f s, played %.3f s, %d distinct frames, level %.1f dBFS\n",
            activeSeconds, media.seconds, media.distinctFrames, media.medianLevelDb);
        EXPECT_NEAR(media.seconds, activeSeconds, 0.3);
        EXPECT_GE(media.distinctFrames, 10) << "the picture did not move";
        EXPECT_NEAR(media.medianLevelDb, kToneLevelDb, 3.0);
        return id;
    }
};

TEST_F(RecordingTest, TheHotKeyRecordsAndTheLinkLandsOnTheClipboard) {
    ASSERT_NO_FATAL_FAILURE(startWithTray());
    TonePlayer tone(440, kToneAmplitude);
    MovingWindow moving;

    key("shift+super+2");
    ASSERT_TRUE(waitForPhase("recording")) << "Shift+Super+2 did not start a recording";
    const auto recording = Clock::now();
    recordFor(5.0);
    // The link is copied at the start too: only the copy after the stop counts.
    QGuiApplication::clipboard()->setText(QStringLiteral("cleared by the test"));
    ASSERT_TRUE(processEventsUntil([] { return QGuiApplication::clipboard()->ownsClipboard(); }));
    const auto pressed = Clock::now();
    key("shift+super+2");
    ASSERT_TRUE(waitForPhase("finishing")) << "the second Shift+Super+2 did not stop the recording";
    const auto finishing = Clock::now();

    std::optional<Clock::time_point> copied;
    ASSERT_TRUE(processEventsUntil(
        [&] {
            const auto text = QGuiApplication::clipboard()->text();
            if (text.startsWith(QStringLiteral("http"))) {
                copied = Clock::now();
            }
            return copied.has_value();
        },
        60s))
        << "no link arrived on the clipboard";
    std::printf("[ figure ] second key press to link on the clipboard: %.0f ms\n",
                millisecondsBetween(pressed, *copied));
    // Generous for a loaded machine; the figure above is the measurement.
    EXPECT_LT(millisecondsBetween(pressed, *copied), 20000);

    ASSERT_TRUE(waitForPhase("done"));
    const auto shown = status();
    ASSERT_FALSE(shown.link.empty());
    EXPECT_EQ(clipboardByXclip(), shown.link);
    EXPECT_TRUE(processEventsUntil([&] { return notified("Recording ready"); }, 10s));
    const std::string id = expectReadyAndPlaying(millisecondsBetween(recording, finishing) / 1000);
    EXPECT_NE(shown.link.find(id), std::string::npos) << shown.link << " does not name " << id;
}

TEST_F(RecordingTest, TheCommandLineRecordsPausesAndStops) {
    ASSERT_NO_FATAL_FAILURE(startWithTray());
    TonePlayer tone(440, kToneAmplitude);
    MovingWindow moving;

    ASSERT_EQ(command({"--toggle"}).status, 0);
    ASSERT_TRUE(waitForPhase("recording"));
    const auto recording = Clock::now();
    recordFor(2.0);
    ASSERT_EQ(command({"--pause"}).status, 0);
    ASSERT_TRUE(waitForPhase("paused"));
    const auto paused = Clock::now();
    recordFor(2.0);
    ASSERT_EQ(command({"--pause"}).status, 0);
    ASSERT_TRUE(waitForPhase("recording"));
    const auto resumed = Clock::now();
    recordFor(2.0);
    ASSERT_EQ(command({"--toggle"}).status, 0);
    ASSERT_TRUE(waitForPhase("finishing"));
    const auto finishing = Clock::now();
    ASSERT_TRUE(waitForPhase("done", 60s));

    EXPECT_FALSE(status().link.empty());
    std::printf("[ figure ] paused for %.3f s\n", millisecondsBetween(paused, resumed) / 1000);
    expectReadyAndPlaying(
        (millisecondsBetween(recording, paused) + millisecondsBetween(resumed, finishing)) / 1000);
}

}  // namespace
}  // namespace tessera::testing
