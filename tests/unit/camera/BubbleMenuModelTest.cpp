#include <gtest/gtest.h>

#include "app/AppState.h"
#include "camera/BubbleMenuModel.h"
#include "support/AppStateDoubles.h"

namespace tessera {
namespace {

// A size leaves full screen first, so the bubble takes that size and does not
// stay full screen; blur toggles; the other controls call their actions.
TEST(BubbleMenuModelTest, ControlsChangeTheSettingsInOrderAndCallTheirActions) {
    testing::TestAppState app;
    AppState& state = app.launch();
    std::vector<std::string> order;
    state.cameraFullScreenChanged = [&] {
        order.push_back("fullScreen=" + std::to_string(state.cameraFullScreen()));
    };
    state.cameraBubbleSizeChanged = [&] {
        order.push_back("size=" + std::to_string(static_cast<int>(state.cameraBubbleSize())));
    };
    state.setCameraFullScreen(true);
    order.clear();
    int closed = 0;
    int advanced = 0;
    const BubbleMenuActions actions{[&] { ++closed; },
                                    [&] {
                                        ++advanced;
                                    }};
    activateBubbleMenuControl(BubbleMenuControl::medium, state, actions);
    EXPECT_EQ(order, (std::vector<std::string>{"fullScreen=0", "size=230"}));

    state.setCameraBackground(CameraBackgroundMode::image);
    activateBubbleMenuControl(BubbleMenuControl::blur, state, actions);
    EXPECT_EQ(state.cameraBackground(), CameraBackgroundMode::blur);
    activateBubbleMenuControl(BubbleMenuControl::blur, state, actions);
    EXPECT_EQ(state.cameraBackground(), CameraBackgroundMode::none);
    activateBubbleMenuControl(BubbleMenuControl::fullScreen, state, actions);
    EXPECT_TRUE(state.cameraFullScreen());
    activateBubbleMenuControl(BubbleMenuControl::turnOff, state, actions);
    activateBubbleMenuControl(BubbleMenuControl::settings, state, actions);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(advanced, 1);
}

}  // namespace
}  // namespace tessera
