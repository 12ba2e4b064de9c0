#include <gtest/gtest.h>

#include <QPainter>
#include <algorithm>

#include "OverlayTestSupport.h"
#include "overlays/widgets/FloatingWindow.h"
#include "platform/x11/XcbConnection.h"

namespace tessera::testing {
namespace {

using overlays::FloatingWindow;
using overlays::FocusPolicy;

// Paints its whole rectangle red.
class PaintedWindow final : public FloatingWindow {
  public:
    PaintedWindow() : FloatingWindow(FocusPolicy::never) {}

  protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), Qt::red); }
};

class FloatingWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        below.setGeometry(100, 100, 300, 200);
        below.show();
        ASSERT_TRUE(processEventsUntil([&] { return exposed(below); }));
    }

    void showOnTop(FloatingWindow& window) {
        window.setGeometry(100, 100, 300, 200);
        window.show();
        ASSERT_TRUE(processEventsUntil([&] { return exposed(window); }));
    }

    ClickTarget below{QColor(0, 0, 255)};
};

TEST_F(FloatingWindowTest, IsStickyAboveAndOutOfTaskBarsOnceTheWindowManagerHasIt) {
    PaintedWindow window;
    showOnTop(window);
    XcbConnection x(qtTestDisplay());
    std::vector<std::uint32_t> wanted{x.atom("_NET_WM_STATE_ABOVE"),
                                      x.atom("_NET_WM_STATE_SKIP_TASKBAR"),
                                      x.atom("_NET_WM_STATE_SKIP_PAGER")};
    // A window manager that has no sticky state (openbox) shows a window on
    // every desktop through _NET_WM_DESKTOP alone.
    const auto supported = x.cardinals(x.root(), x.atom("_NET_SUPPORTED"));
    if (std::ranges::find(supported, x.atom("_NET_WM_STATE_STICKY")) != supported.end()) {
        wanted.push_back(x.atom("_NET_WM_STATE_STICKY"));
    }
    std::vector<std::uint32_t> states;
    const bool all = processEventsUntil([&] {
        states = x.cardinals(window.xWindowID(), x.atom("_NET_WM_STATE"));
        return std::ranges::all_of(wanted, [&](std::uint32_t atom) {
            return std::ranges::find(states, atom) != states.end();
        });
    });
    std::string names;
    for (auto atom : states) {
        names += x.atomName(atom) + " ";
    }
    EXPECT_TRUE(all) << "states: " << names;
    EXPECT_TRUE(processEventsUntil([&] {
        return x.cardinals(window.xWindowID(), x.atom("_NET_WM_DESKTOP")) ==
               std::vector<std::uint32_t>{0xFFFFFFFF};
    })) << "on every desktop";
}

// Click-through set before the window is shown passes clicks on until it is
// switched off. (The pen overlay's test covers shaping, translucency under a
// compositor and click-through with one.)
TEST_F(FloatingWindowTest, ClickThroughPassesClicksToTheWindowBelowUntilSwitchedOff) {
    PaintedWindow window;
    window.setClickThrough(true);
    showOnTop(window);
    EXPECT_TRUE(clickUntil({200, 150}, [&] { return below.clicks >= 1; }));
    window.setClickThrough(false);
    below.clicks = 0;
    ASSERT_TRUE(clickAt({210, 160}));
    // A click through to the window below would be counted by now: the first
    // one has had its round trip once a click on a third window arrived.
    ClickTarget probe(QColor(0, 255, 0));
    probe.setGeometry(600, 100, 100, 100);
    probe.show();
    ASSERT_TRUE(processEventsUntil([&] { return exposed(probe); }));
    ASSERT_TRUE(clickUntil({650, 150}, [&] { return probe.clicks >= 1; }));
    EXPECT_EQ(below.clicks, 0) << "the window takes clicks again";
}

}  // namespace
}  // namespace tessera::testing
