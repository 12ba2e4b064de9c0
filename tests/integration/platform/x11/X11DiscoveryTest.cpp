#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "app/Discovery.h"
#include "platform/x11/X11Windows.h"
#include "support/ManualExecutor.h"
#include "support/XvfbSession.h"

namespace tessera {
namespace {

using testing::TestWindow;
using testing::XvfbSession;

std::vector<ContentWindow> listWindows(X11WindowSource& source) {
    ManualExecutor executor;
    std::vector<ContentWindow> result;
    auto listing = [&]() -> Task<void> {
        result = co_await source.shareableWindows();
    };
    auto handle = spawn(executor, listing());
    executor.runUntilIdle();
    EXPECT_TRUE(handle.isDone());
    return result;
}

// The window list of a real server feeds the window picker: the owner's
// process, the class naming an untitled window, the size and the frame in
// global points. (The displays are what every whole-session run records.)
TEST(X11Discovery, WindowsOnARealServer) {
    XvfbSession x({1920, 1080, true});
    // Too narrow to offer, the recorder's own (by its process), untitled
    // (named by its class), and an ordinary one.
    TestWindow narrow(x.display(),
                      {.x = 10, .y = 10, .width = 99, .height = 400, .windowClass = "Narrow"});
    TestWindow::Options squareOptions{.x = 150, .y = 10, .width = 100, .height = 100};
    squareOptions.windowClass = "square";
    squareOptions.title = "Exact";
    TestWindow square(x.display(), squareOptions);
    TestWindow::Options ownOptions{.x = 300, .y = 10, .width = 300, .height = 300};
    ownOptions.windowClass = "Tessera";
    ownOptions.pid = getpid();
    TestWindow own(x.display(), ownOptions);
    TestWindow::Options untitledOptions{.x = 500, .y = 300, .width = 200, .height = 150};
    untitledOptions.windowClass = "Beta";
    untitledOptions.title = std::nullopt;
    TestWindow untitled(x.display(), untitledOptions);
    X11WindowSource source(x.display());
    const auto content = listWindows(source);
    EXPECT_GE(content.size(), 4u);
    const auto ours = std::ranges::find(content, own.id(), &ContentWindow::windowID);
    ASSERT_NE(ours, content.end());
    EXPECT_EQ(ours->owner->processID, getpid());

    const auto options = DeviceDiscovery::windowOptions(content, {getpid(), ""});
    ASSERT_EQ(options.size(), 2u);
    EXPECT_EQ(options[0].id, untitled.id());
    EXPECT_EQ(options[0].displayName(), "Beta");
    EXPECT_EQ(options[1].id, square.id());
    EXPECT_EQ(options[1].frame.size, (Size{100, 100}));
    // The frame is in global points: 10 pixels below the top of a 1080-high
    // screen is y = 1080 - 10 - 100 for the window's bottom edge (the window
    // manager may shift it down by its title bar).
    EXPECT_LE(options[1].frame.maxY(), 1070);
}

}  // namespace
}  // namespace tessera
