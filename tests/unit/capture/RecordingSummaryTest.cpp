#include <gtest/gtest.h>

#include "ControllerFixture.h"
#include "capture/RecordingSummary.h"
#include "support/Log.h"

namespace tessera::testing {
namespace {

TEST(RecordingSummary, NamesEveryFigureOnOneLine) {
    RecordingFigures figures;
    figures.recordingID = "rec-7";
    figures.outcome = "ready";
    figures.width = 1920;
    figures.height = 1080;
    figures.frameRate = 30;
    figures.frames.framesCaptured = 300;
    figures.frames.framesWritten = 297;
    figures.frames.framesDropped = 3;
    figures.frames.audioBuffersDropped = 4;
    figures.uploads["camera"] = UploadCounters{5, 0, 1, 500};
    figures.uploads["screen"] = UploadCounters{6, 2, 0, 6000};
    figures.stopToLinkSeconds = 0.4321;
    EXPECT_EQ(recordingSummary(figures),
              "recording rec-7 ready: 1920x1080 at 30 fps, preset veryfast; frames captured 300, "
              "written 297, dropped 3, repeated 0; audio buffers dropped 4; segments uploaded 11, "
              "retried 2, lost 1 (camera 5/0/1, screen 6/2/0), 6500 bytes; stop to link 0.432 s");
}

// Errors while stopping are logged and the stop goes on to the link; the
// recording's summary is logged once its finalize has answered.
TEST_F(ControllerTest, StopGoesOnThroughFailingRecordersAndLogsTheSummary) {
    state->setMicEnabled(true);
    sequence.micPath = micFile();
    startRecording();
    sequence.screen->throwOnStop = true;
    sequence.mic->throwOnFinish = true;
    std::vector<std::string> lines;
    logging::LogCapture capture(
        [&](logging::Level, std::string_view component, std::string_view message) {
            if (component == "recording") {
                lines.emplace_back(message);
            }
        });
    finish(controller->stop());
    EXPECT_EQ(phase(), Kind::done);
    EXPECT_EQ(log, (RequestLog{"create", "segments drained", "finalize rec-1"}));
    EXPECT_EQ(state->statusMessage(), "Heads up: mic audio was lost (disk gone)");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("recording rec-1 ready: frames captured 0")) << lines[0];
    EXPECT_NE(lines[0].find("segments uploaded 4, retried 1, lost 0 (screen 4/1/0), 4096 bytes; "
                            "stop to link "),
              std::string::npos)
        << lines[0];
}

}  // namespace
}  // namespace tessera::testing
