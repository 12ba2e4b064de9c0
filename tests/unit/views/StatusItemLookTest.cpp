#include <gtest/gtest.h>

#include "views/StatusItemLook.h"

namespace tessera::views {
namespace {

TEST(StatusItemLook, OnlyRecordingAndPausedShowTheirIconAndTheClock) {
    for (const RecorderPhase& phase :
         {RecorderPhase::idle(), RecorderPhase::countingDown(), RecorderPhase::preparing(),
          RecorderPhase::finishing(), RecorderPhase::done(), RecorderPhase::error("x")}) {
        EXPECT_EQ(statusItemLook(phase, 42),
                  (StatusItemLook{StatusIcon::idle, "Tessera Recorder", "", "Tessera Recorder"}))
            << phase;
    }
    EXPECT_EQ(statusItemLook(RecorderPhase::recording(), 75.9),
              (StatusItemLook{StatusIcon::recording, "Recording", " 01:15", "Recording  01:15"}));
    EXPECT_EQ(statusItemLook(RecorderPhase::paused(), 75.9),
              (StatusItemLook{StatusIcon::paused, "Paused", " 01:15", "Paused  01:15"}));
}

}  // namespace
}  // namespace tessera::views
