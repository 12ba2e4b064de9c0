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
        {150, {"Small"}},    {189.9, {"Small"}}, {190, {}}, {191, {"Medium"}},
        {269.9, {"Medium"}}, {270, {}},          {420, {}}, {421, {"Large"}},
        {499.9, {"Large"}},  {500, {}},          {560, {}},
    };
    for (const auto& [size, expected] : cases) {
        state.setCameraBubbleSize(size);
        EXPECT_EQ(highlightedSizes(state), expected) << size;
    }
    state.setCameraBubbleSize(150);
    state.setCameraFullScreen(true);
    EXPECT_TRUE(highlightedSizes(state).empty());
}

TEST(BubbleMenuModelTest, ChoosingASizeLeavesFullScreenFirst) {
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
    activateBubbleMenuControl(BubbleMenuControl::medium, state, {});
    EXPECT_EQ(order, (std::vector<std::string>{"fullScreen=0", "size=230"}));
    // Also when full screen is already off: its hook runs again.
    activateBubbleMenuControl(BubbleMenuControl::large, state, {});
    EXPECT_EQ(order,
              (std::vector<std::string>{"fullScreen=0", "size=230", "fullScreen=0", "size=460"}));
}

TEST(BubbleMenuModelTest, TogglesAndActions) {
    testing::TestAppState app;
    AppState& state = app.launch();
    int closed = 0;
    int advanced = 0;
    const BubbleMenuActions actions{[&] { ++closed; },
                                    [&] {
                                        ++advanced;
                                    }};
    const auto item = [&](BubbleMenuControl control) {
        for (const BubbleMenuItem& i : bubbleMenuItems(state)) {
            if (i.control == control) {
                return i;
            }
        }
        ADD_FAILURE();
        return BubbleMenuItem{control, "", false, 0, ""};
    };

    // Colour or image backgrounds: not highlighted, one click gives blur.
    for (CameraBackgroundMode from : {CameraBackgroundMode::color, CameraBackgroundMode::image}) {
        state.setCameraBackground(from);
        EXPECT_FALSE(item(BubbleMenuControl::blur).highlighted);
        EXPECT_EQ(item(BubbleMenuControl::blur).label, "Blur background");
        activateBubbleMenuControl(BubbleMenuControl::blur, state, actions);
        EXPECT_EQ(state.cameraBackground(), CameraBackgroundMode::blur);
    }
    EXPECT_TRUE(item(BubbleMenuControl::blur).highlighted);
    EXPECT_EQ(item(BubbleMenuControl::blur).label, "Blur on");
    activateBubbleMenuControl(BubbleMenuControl::blur, state, actions);
    EXPECT_EQ(state.cameraBackground(), CameraBackgroundMode::none);

    EXPECT_EQ(item(BubbleMenuControl::fullScreen).label, "Full screen");
    activateBubbleMenuControl(BubbleMenuControl::fullScreen, state, actions);
    EXPECT_TRUE(state.cameraFullScreen());
    EXPECT_TRUE(item(BubbleMenuControl::fullScreen).highlighted);
    EXPECT_EQ(item(BubbleMenuControl::fullScreen).label, "Exit full screen (Esc)");

    activateBubbleMenuControl(BubbleMenuControl::turnOff, state, actions);
    activateBubbleMenuControl(BubbleMenuControl::settings, state, actions);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(advanced, 1);
}

TEST(BubbleMenuModelTest, AHoverEndKeepsTheLabelAnotherControlHasSet) {
    BubbleMenuHoverLabel label;
    label.hoverChanged("Small", true);
    label.hoverChanged("Medium", true);
    label.hoverChanged("Small", false);
    EXPECT_EQ(label.text(), "Medium");
    label.hoverChanged("Medium", false);
    EXPECT_EQ(label.text(), std::nullopt);
}

}  // namespace
}  // namespace tessera
