#include <gtest/gtest.h>

#include "views/StatusItemLook.h"

namespace tessera::views {
namespace {

TEST(StatusItemLook, OutsideASessionTheIconIsPlainWithoutClock) {
    for (const RecorderPhase& phase :
         {RecorderPhase::idle(), RecorderPhase::countingDown(), RecorderPhase::preparing(),
          RecorderPhase::finishing(), RecorderPhase::done(), RecorderPhase::error("x")}) {
        const StatusItemLook look = statusItemLook(phase, 42);
        EXPECT_EQ(look.icon, StatusIcon::idle) << phase;
        EXPECT_EQ(look.title, "") << phase;
        EXPECT_EQ(look.tooltip, "Tessera Recorder") << phase;
        EXPECT_EQ(look.accessibleDescription, "Tessera Recorder") << phase;
    }
}

TEST(StatusItemLook, RecordingAndPausedShowTheirIconAndTheClock) {
    const StatusItemLook recording = statusItemLook(RecorderPhase::recording(), 75.9);
    EXPECT_EQ(recording.icon, StatusIcon::recording);
    EXPECT_EQ(recording.title, " 01:15");
    EXPECT_EQ(recording.accessibleDescription, "Recording");
    EXPECT_NE(recording.tooltip.find("01:15"), std::string::npos);

    const StatusItemLook paused = statusItemLook(RecorderPhase::paused(), 3725);
    EXPECT_EQ(paused.icon, StatusIcon::paused);
    EXPECT_EQ(paused.title, " 1:02:05");
    EXPECT_EQ(paused.accessibleDescription, "Paused");
    EXPECT_EQ(paused.tooltip.rfind("Paused", 0), 0u);
}

}  // namespace
}  // namespace tessera::views
