// Whole recordings with the installed program: started and stopped by the
// global key or by the command line, with a window moving on the screen and a
// tone playing into the system audio, then checked on the web app: the
// recording is ready and its joined video plays for the time it was recorded,
// with a moving picture and the tone's level.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <cmath>
#include <cstdio>
#include <string>

#include "e2e/RecorderHarness.h"
#include "support/QtTestEnvironment.h"

namespace tessera::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using RecordingTest = InstalledRecorderTest;

// The tone and the level it has in a recording: a sine of amplitude 0.5 has
// an RMS of 0.354, -9.0 dBFS. AAC and the mix leave it within a few dB.
constexpr double kToneAmplitude = 0.5;
constexpr double kToneLevelDb = -9.03;
constexpr double kLevelToleranceDb = 3.0;
// How far the played duration may lie from the active time the test measured
// around its own commands.
constexpr double kDurationToleranceSeconds = 0.3;

// Lets `seconds` of recording pass while the moving window keeps moving.
void recordFor(double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    processEventsUntil([&] { return Clock::now() >= until; },
                       std::chrono::milliseconds(static_cast<int>(seconds * 1000) + 1000));
}

void expectPlaysAsRecorded(const PlayedMedia& media, double activeSeconds) {
    std::printf(
        "[ figure ] active time %.3f s, played %.3f s (difference %+.3f s; video %.3f s, "
        "audio %.3f s), %d distinct frames, median level %.1f dBFS\n",
        activeSeconds, media.seconds, media.seconds - activeSeconds, media.videoSeconds,
        media.audioSeconds, media.distinctFrames, media.medianLevelDb);
    EXPECT_NEAR(media.seconds, activeSeconds, kDurationToleranceSeconds);
    // A picture that moved: far more than a handful of distinct frames.
    EXPECT_GE(media.distinctFrames, 10);
    EXPECT_NEAR(media.medianLevelDb, kToneLevelDb, kLevelToleranceDb);
}

TEST_F(RecordingTest, TheHotKeyRecordsAndTheLinkLandsOnTheClipboard) {
    writeSettings(defaultSettings());
    startTray();
    startApp();
    ASSERT_TRUE(waitForPhase("idle")) << "the app did not come up";
    TonePlayer tone(440, kToneAmplitude);
    MovingWindow moving;

    key("shift+super+2");
    const auto recording = timeOfPhase("recording", 30s);
    ASSERT_TRUE(recording) << "Shift+Super+2 did not start a recording";
    recordFor(5.0);
    // The link is copied when the recording starts too: clear the clipboard
    // so that only the copy after the stop counts.
    QGuiApplication::clipboard()->setText(QStringLiteral("cleared by the test"));
    ASSERT_TRUE(processEventsUntil([] { return QGuiApplication::clipboard()->ownsClipboard(); }));
    const auto pressed = Clock::now();
    key("shift+super+2");
    const auto finishing = timeOfPhase("finishing", 30s);
    ASSERT_TRUE(finishing) << "the second Shift+Super+2 did not stop the recording";

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
    // Generous: a loaded machine may take seconds; the figure above is the
    // measurement.
    EXPECT_LT(millisecondsBetween(pressed, *copied), 20000);

    ASSERT_TRUE(waitForPhase("done"));
    const auto shown = status();
    ASSERT_FALSE(shown.link.empty());
    EXPECT_EQ(clipboardByXclip(), shown.link);
    EXPECT_TRUE(processEventsUntil([&] { return notified("Recording ready"); }, 10s));
    const auto recordingOnServer = onlyRecording();
    ASSERT_FALSE(recordingOnServer.is_null());
    EXPECT_EQ(recordingOnServer.value("status", ""), "ready");
    const std::string id = recordingOnServer.value("id", "");
    EXPECT_NE(shown.link.find(id), std::string::npos) << shown.link << " does not name " << id;

    expectPlaysAsRecorded(playMedia(joinedScreenVideo(id)),
                          millisecondsBetween(*recording, *finishing) / 1000);
}

TEST_F(RecordingTest, TheCommandLineRecordsPausesAndStops) {
    writeSettings(defaultSettings());
    startTray();
    EXPECT_EQ(command({"--status"}).status, 1) << "a status without a running instance";
    startApp();
    ASSERT_TRUE(waitForPhase("idle"));
    TonePlayer tone(440, kToneAmplitude);
    MovingWindow moving;

    ASSERT_EQ(command({"--toggle"}).status, 0);
    const auto recording = timeOfPhase("recording", 30s);
    ASSERT_TRUE(recording);
    recordFor(2.0);
    ASSERT_EQ(command({"--pause"}).status, 0);
    const auto paused = timeOfPhase("paused", 30s);
    ASSERT_TRUE(paused);
    recordFor(2.0);
    ASSERT_EQ(command({"--pause"}).status, 0);
    const auto resumed = timeOfPhase("recording", 30s);
    ASSERT_TRUE(resumed);
    recordFor(2.0);
    ASSERT_EQ(command({"--toggle"}).status, 0);
    const auto finishing = timeOfPhase("finishing", 30s);
    ASSERT_TRUE(finishing);
    ASSERT_TRUE(waitForPhase("done", 60s));

    const auto shown = status();
    EXPECT_FALSE(shown.link.empty());
    const auto recordingOnServer = onlyRecording();
    ASSERT_FALSE(recordingOnServer.is_null());
    EXPECT_EQ(recordingOnServer.value("status", ""), "ready");
    const double activeSeconds =
        (millisecondsBetween(*recording, *paused) + millisecondsBetween(*resumed, *finishing)) /
        1000;
    std::printf("[ figure ] paused for %.3f s\n", millisecondsBetween(*paused, *resumed) / 1000);
    expectPlaysAsRecorded(playMedia(joinedScreenVideo(recordingOnServer.value("id", ""))),
                          activeSeconds);

    // Quitting through SIGTERM ends the app cleanly.
    EXPECT_EQ(app_->terminate(), 0);
}

}  // namespace
}  // namespace tessera::testing
