#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "app/Discovery.h"
#include "app/ScreenLookup.h"
#include "platform/x11/X11Displays.h"
#include "platform/x11/X11Windows.h"
#include "support/ManualExecutor.h"
#include "support/XvfbSession.h"

namespace tessera {
namespace {

using testing::TestWindow;
using testing::XvfbSession;

// The listed windows; none when listing threw.
std::optional<std::vector<ContentWindow>> listWindows(X11WindowSource& source) {
    ManualExecutor executor;
    std::optional<std::vector<ContentWindow>> result;
    auto handle = spawn(executor, [&]() -> Task<void> {
        try {
            result = co_await source.shareableWindows();
        } catch (const std::exception&) {
            result.reset();
        }
    }());
    executor.runUntilIdle();
    EXPECT_TRUE(handle.isDone());
    return result;
}

TEST(X11Discovery, DisplaysAndScreenLookupsOnRealGeometry) {
    XvfbSession x({1920, 1080, true});
    X11DisplaySource displays(x.display());
    const auto monitors = displays.monitors();
    ASSERT_EQ(monitors.size(), 1u);
    EXPECT_EQ(displays.mainDisplayID(), monitors[0].id);
    EXPECT_NE(monitors[0].id, 0u);
    const auto options = DeviceDiscovery::displayOptions(monitors, displays.mainDisplayID());
    EXPECT_EQ(options[0].name, "Display 1 — 1920×1080  (Main)");
    EXPECT_EQ(monitors[0].frame, Rect(0, 0, 1920, 1080));

    // The bottom-left origin: a rectangle near the top of the screen has a
    // large y, and its midpoint decides the display.
    EXPECT_EQ(DeviceDiscovery::displayContaining({100, 900, 200, 100}, monitors), monitors[0].id);
    EXPECT_EQ(DeviceDiscovery::displayContaining({1900, 100, 100, 100}, monitors), std::nullopt);
    EXPECT_EQ(DeviceDiscovery::displayContaining({100, -300, 100, 100}, monitors), std::nullopt);
    EXPECT_DOUBLE_EQ(ScreenLookup::chromeScale(monitors[0].frame.height()), 1.2);
}

TEST(X11Discovery, AnUnreachableServerListsNothing) {
    X11DisplaySource displays(std::string(":9999"));
    EXPECT_TRUE(displays.monitors().empty());
    EXPECT_EQ(displays.mainDisplayID(), 0u);
    X11WindowSource windows(std::string(":9999"));
    EXPECT_EQ(listWindows(windows), std::nullopt);
}

TEST(X11Discovery, WindowListFiltersSortsAndLeavesOutOwnWindows) {
    XvfbSession x;
    TestWindow narrow(x.display(),
                      {.x = 10, .y = 10, .width = 99, .height = 400, .windowClass = "Narrow"});
    TestWindow square(x.display(), {.x = 150,
                                    .y = 10,
                                    .width = 100,
                                    .height = 100,
                                    .windowClass = "square",
                                    .title = "Exact"});
    TestWindow own(x.display(), {.x = 300,
                                 .y = 10,
                                 .width = 300,
                                 .height = 300,
                                 .windowClass = "Tessera",
                                 .title = "Strip",
                                 .pid = getpid()});
    TestWindow alphaZ(
        x.display(),
        {.x = 20, .y = 300, .width = 200, .height = 150, .windowClass = "Alpha", .title = "zebra"});
    TestWindow alphaA(x.display(), {.x = 250,
                                    .y = 300,
                                    .width = 200,
                                    .height = 150,
                                    .windowClass = "alpha",
                                    .title = "Apple"});
    TestWindow untitled(x.display(), {.x = 500,
                                      .y = 300,
                                      .width = 200,
                                      .height = 150,
                                      .windowClass = "Beta",
                                      .title = std::nullopt});
    X11WindowSource source(x.display());
    const auto content = listWindows(source).value();
    EXPECT_GE(content.size(), 6u);
    const auto ours = std::ranges::find(content, own.id(), &ContentWindow::windowID);
    ASSERT_NE(ours, content.end());
    EXPECT_EQ(ours->owner->processID, getpid());

    const auto options = DeviceDiscovery::windowOptions(content, {getpid(), ""});
    std::vector<std::uint32_t> ids;
    for (const auto& o : options) {
        ids.push_back(o.id);
    }
    EXPECT_EQ(ids,
              (std::vector<std::uint32_t>{alphaA.id(), alphaZ.id(), untitled.id(), square.id()}));
    EXPECT_EQ(options[2].displayName(), "Beta");
    EXPECT_EQ(options[3].frame.size, (Size{100, 100}));
    // The frame is in global points: 10 pixels below the top of an 800-high
    // screen is y = 800 - 10 - 100 for the window's bottom edge (the window
    // manager may shift it down by its title bar).
    EXPECT_LE(options[3].frame.maxY(), 790);

    // Selection repair through the discovery class, against the real list.
    EXPECT_EQ(DeviceDiscovery::repairedWindowSelection(own.id(), options), alphaA.id());
}

}  // namespace
}  // namespace tessera
