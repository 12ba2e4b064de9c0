#include <gtest/gtest.h>

#include <chrono>

#include "platform/x11/X11ScreenCapture.h"

namespace tessera {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Grabs due at 0, 33, 66 ... ms; `wakeLate(n)` is how late grab n starts and
// `cost` how long it takes. Returns how many grabs fall due within `span`.
template <class WakeLate>
int grabsIn(Clock::duration span, Clock::duration cost, WakeLate wakeLate) {
    const Clock::time_point start{};
    const Clock::duration interval = 33ms;
    Clock::time_point deadline = start;
    int grabs = 0;
    for (Clock::time_point now = start; deadline < start + span;) {
        now = std::max(now, deadline) + wakeLate(grabs);
        ++grabs;
        now += cost;
        const Clock::time_point next = nextGrabDeadline(deadline, now, interval);
        EXPECT_GT(next, deadline);
        EXPECT_EQ((next - start) % interval, Clock::duration::zero()) << "off the grid";
        deadline = next;
    }
    return grabs;
}

// A grab that wakes late is followed by the next on time; ticks missed
// entirely are skipped, not made up in a burst.
TEST(GrabCadence, LateWakeUpsCostNoFramesAndTheGridHolds) {
    // Every third grab wakes 25 ms late and takes 10 ms: 35 ms past its tick,
    // so the next one is taken at once and the one after is on time again.
    EXPECT_EQ(grabsIn(3300ms, 10ms, [](int n) { return n % 3 == 0 ? 25ms : 1ms; }), 100);
    // Grab 10 wakes 200 ms late: the five ticks that passed meanwhile are
    // not made up, and the one under way when it ends is taken at once.
    EXPECT_EQ(grabsIn(3300ms, 5ms, [](int n) { return n == 10 ? 200ms : 0ms; }), 100 - 5);
    // A grab always slower than the interval runs back to back, one per tick
    // it reaches, never faster.
    EXPECT_EQ(grabsIn(3300ms, 50ms, [](int) { return 0ms; }), 66);
}

}  // namespace
}  // namespace tessera
