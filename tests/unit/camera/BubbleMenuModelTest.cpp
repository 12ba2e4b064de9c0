#include <gtest/gtest.h>

#include "app/AppState.h"
#include "camera/BubbleMenuModel.h"
#include "support/AppStateDoubles.h"

namespace tessera {
namespace {

std::vector<std::string> highlightedSizes(const AppState& state) {
    std::vector<std::string> labels;
    for (const BubbleMenuItem& item : bubbleMenuItems(state)) {
        if (item.dotDiameter > 0 && item.highlighted) {
            labels.push_back(item.label);
        }
    }
    return labels;
}

TEST(BubbleMenuModelTest, AtMostTheSizeWithinFortyPointsIsHighlighted) {
    testing::TestAppState app;
    AppState& state = app.launch();
    const std::pair<double, std::vector<std::string>> cases[] = {
        {189.9, {"Small"}}, {190, {}}, {191, {"Medium"}}, {499.9, {"Large"}}, {500, {}},
    };
    for (const auto& [size, expected] : cases) {
        state.setCameraBubbleSize(size);
        EXPECT_EQ(highlightedSizes(state), expected) << size;
    }
    state.setCameraBubbleSize(150);
    state.setCameraFullScreen(true);
    EXPECT_TRUE(highlightedSizes(state).empty());
}

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
