#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "app/AppState.h"
#include "app/Discovery.h"
#include "app/SettingsStore.h"
#include "support/AppStateDoubles.h"
#include "support/ManualExecutor.h"
#include "support/Task.h"

namespace tessera {
namespace {

ContentWindow window(std::uint32_t id, std::string app, std::string title, double w = 300,
                     double h = 200, pid_t pid = 100, std::string bundle = "") {
    return {
        id, WindowOwner{pid, std::move(app), std::move(bundle)}, std::move(title), {10, 10, w, h}};
}

// The X11 discovery test runs the size limit, the own process and an untitled window
// on a real server. Ownerless, nameless and our own bundle's windows are not offered
// either; the rest sort case-insensitively by application, then title.
TEST(WindowList, KeepsOnlyOfferableWindowsSortedByApplicationThenTitle) {
    const std::vector<ContentWindow> content{
        window(1, "zeta", "b"),
        window(2, "Alpha", "Zed"),
        window(3, "alpha", "apple"),
        window(6, "Épicerie", "x"),
        window(8, "épicerie", "a"),
        window(9, "Unknown pid", "kept", 300, 300, 0),
        window(23, "Ours too", "bubble", 300, 300, 7, "tessera-recorder"),
        window(24, "", "no app name"),
        {25, std::nullopt, "ownerless", {0, 0, 500, 500}},
    };
    std::vector<std::uint32_t> ids;
    for (const auto& o : DeviceDiscovery::windowOptions(content, {42, "tessera-recorder"})) {
        ids.push_back(o.id);
    }
    // Where an accented name goes depends on the user's language, but its
    // upper and lower case are one application in every language.
    const auto accented = std::ranges::find(ids, 8u);
    ASSERT_TRUE(accented != ids.end() && accented + 1 != ids.end())
        << ::testing::PrintToString(ids);
    EXPECT_EQ(*(accented + 1), 6u);
    std::erase_if(ids, [](std::uint32_t id) { return id == 6 || id == 8; });
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{3, 2, 9, 1}));
}

TEST(DisplayLookup, FindsTheDisplayUnderTheMidpoint) {
    // Main display at the origin, a second one to its left and a little lower.
    const std::vector<MonitorInfo> monitors{{1, "main", {0, 0, 1920, 1080}, {}, true},
                                            {2, "left", {-1280, -200, 1280, 1024}, {}, false}};
    const std::pair<Rect, std::optional<std::uint32_t>> cases[] = {
        {{-700, 0, 200, 200}, 2},
        {{-900, 500, 2000, 100}, 1},  // mostly on the left display, but the midpoint decides
        {{5000, 5000, 10, 10}, std::nullopt},
    };
    for (const auto& [rect, id] : cases) {
        EXPECT_EQ(DeviceDiscovery::displayContaining(rect, monitors), id)
            << rect.minX() << "," << rect.minY();
    }
}

// Sources the tests fill by hand.
struct FakeDisplays : DisplaySource {
    std::vector<MonitorInfo> list;
    std::uint32_t mainID = 0;
    std::vector<MonitorInfo> monitors() override { return list; }
    std::uint32_t mainDisplayID() override { return mainID; }
};
struct FakeWindows : WindowSource {
    std::vector<ContentWindow> list;
    bool fail = false;
    Task<std::vector<ContentWindow>> shareableWindows() override {
        if (fail) {
            throw std::runtime_error("no permission");
        }
        co_return list;
    }
};
struct FakeDevices : CaptureDeviceSource {
    std::vector<CaptureDeviceOption> list;
    std::vector<CaptureDeviceOption> devices() override { return list; }
};
class DiscoveryTest : public ::testing::Test {
  protected:
    testing::TestAppState app;
    AppState& state = app.launch();
    FakeDisplays displays;
    FakeWindows windows;
    FakeDevices microphones;
    FakeDevices cameras;
    DeviceDiscovery discovery{state, {displays, windows, microphones, cameras}, {42, ""}};
    ManualExecutor executor;

    void refreshWindows() {
        auto handle = spawn(executor, discovery.refreshWindows());
        executor.runUntilIdle();
        ASSERT_TRUE(handle.isDone());
    }
};

TEST_F(DiscoveryTest, RefreshDevicesFillsTheListsAndRepairsSelections) {
    displays.list = {{5, "A", {0, 0, 1920, 1080}, {}, false},
                     {9, "B", {1920, 0, 800, 600}, {}, true}};
    displays.mainID = 9;
    microphones.list = {{"alsa_input.usb", "USB Mic"}};
    cameras.list = {{"/dev/v4l/by-id/usb-cam", "Cam"}};
    state.setSelectedCameraID("/dev/v4l/by-id/usb-cam");
    state.setSelectedMicID("alsa_input.usb");
    discovery.refreshDevices();
    EXPECT_EQ(state.displays().size(), 2u);
    EXPECT_EQ(state.displays()[1].name, "Display 2 — 800×600  (Main)");
    EXPECT_EQ(state.selectedDisplayID(), 5u);  // 1 was not listed: the first display
    EXPECT_EQ(state.microphones(), microphones.list);
    EXPECT_EQ(state.selectedCameraID(), "/dev/v4l/by-id/usb-cam");

    // The camera is unplugged and another one appears.
    cameras.list = {{"/dev/video2", "Other"}};
    discovery.refreshDevices();
    EXPECT_EQ(state.selectedCameraID(), "");
    EXPECT_EQ(state.selectedMicID(), "alsa_input.usb");

    displays.list.clear();
    discovery.refreshDevices();
    EXPECT_TRUE(state.displays().empty());
    EXPECT_EQ(state.selectedDisplayID(), 9u);
}

TEST_F(DiscoveryTest, RefreshWindowsRepairsAndAFailureChangesNothing) {
    windows.list = {window(3, "B", "x"), window(4, "A", "y")};
    refreshWindows();
    ASSERT_EQ(state.windows().size(), 2u);
    EXPECT_EQ(state.selectedWindowID(), 4u);

    state.setSelectedWindowID(3);
    windows.fail = true;
    windows.list.clear();
    refreshWindows();
    EXPECT_EQ(state.windows().size(), 2u);
    EXPECT_EQ(state.selectedWindowID(), 3u);

    windows.fail = false;
    refreshWindows();
    EXPECT_TRUE(state.windows().empty());
    EXPECT_EQ(state.selectedWindowID(), std::nullopt);
}

}  // namespace
}  // namespace tessera
