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

// Paints its whole rectangle red at the given alpha over a cleared background.
class PaintedWindow final : public FloatingWindow {
  public:
    explicit PaintedWindow(int alpha) : FloatingWindow(FocusPolicy::never), alpha_(alpha) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(rect(), QColor(255, 0, 0, alpha_));
    }

  private:
    int alpha_;
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

    void checkClicksTakenAgain(PaintedWindow& window);

    ClickTarget below{QColor(0, 0, 255)};
};

TEST_F(FloatingWindowTest, IsStickyAboveAndOutOfTaskBarsOnceTheWindowManagerHasIt) {
    PaintedWindow window(255);
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

TEST_F(FloatingWindowTest, ClickThroughPassesClicksToTheWindowBelowUntilSwitchedOff) {
    for (bool composited : {false, true}) {
        SCOPED_TRACE(composited ? "with a compositor" : "without a compositor");
        std::unique_ptr<Compositor> compositor;
        if (composited) {
            compositor = std::make_unique<Compositor>();
        }
        below.clicks = 0;
        PaintedWindow window(255);
        // Set before the window is shown, as the pen overlay does.
        window.setClickThrough(true);
        showOnTop(window);
        EXPECT_TRUE(clickUntil({200, 150}, [&] { return below.clicks >= 1; }));
        checkClicksTakenAgain(window);
    }
}

void FloatingWindowTest::checkClicksTakenAgain(PaintedWindow& window) {
    window.setClickThrough(false);
    below.clicks = 0;
    ASSERT_TRUE(clickAt({210, 160}));
    // A second click through the window below would be counted by now: the
    // first one has had its round trip once a click on a third window arrived.
    ClickTarget probe(QColor(0, 255, 0));
    probe.setGeometry(600, 100, 100, 100);
    probe.show();
    ASSERT_TRUE(processEventsUntil([&] { return exposed(probe); }));
    ASSERT_TRUE(clickUntil({650, 150}, [&] { return probe.clicks >= 1; }));
    EXPECT_EQ(below.clicks, 0) << "the window takes clicks again";
}

TEST_F(FloatingWindowTest, WithoutACompositorTheShapeShowsTheWindowBelowAroundIt) {
    ASSERT_FALSE(FloatingWindow::compositorRunning());
    PaintedWindow window(255);
    window.setVisibleShape(QRegion(0, 0, 100, 200));
    showOnTop(window);
    QImage picture;
    EXPECT_TRUE(processEventsUntil([&] {
        picture = grabScreen();
        return pixelsNear(picture, QRect(110, 110, 80, 180), Qt::red) > 80 * 180 * 0.9 &&
               pixelsNear(picture, QRect(210, 110, 180, 180), Qt::blue) > 180 * 180 * 0.9;
    })) << "red inside the shape, the blue window beside it";
    window.setVisibleShape(QRegion());
    EXPECT_TRUE(processEventsUntil([&] {
        return pixelsNear(grabScreen(), QRect(110, 110, 280, 180), Qt::blue) > 280 * 180 * 0.9;
    })) << "an empty shape shows nothing";
}

TEST_F(FloatingWindowTest, WithACompositorATranslucentBackgroundShowsWhatIsBelow) {
    Compositor compositor;
    ASSERT_TRUE(compositor.running());
    PaintedWindow window(0);
    window.setVisibleShape(QRegion(0, 0, 10, 10));
    showOnTop(window);
    EXPECT_TRUE(processEventsUntil([&] {
        return pixelsNear(grabScreen(), QRect(110, 110, 280, 180), Qt::blue) > 280 * 180 * 0.9;
    }));
    EXPECT_TRUE(window.mask().isEmpty()) << "with a compositor the window is not shaped";
}

}  // namespace
}  // namespace tessera::testing
