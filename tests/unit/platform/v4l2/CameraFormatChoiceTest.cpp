#include <gtest/gtest.h>

#include "platform/v4l2/CameraFormatChoice.h"

namespace tessera {
namespace {

V4l2FrameSizes discrete(int width, int height) {
    return {true, width, height, width, height, 1, 1};
}

V4l2FrameSizes stepwise(int minWidth, int minHeight, int maxWidth, int maxHeight, int step) {
    return {false, minWidth, minHeight, maxWidth, maxHeight, step, step};
}

TEST(CameraFormatChoiceTest, FrameSizeWithinTheLimit) {
    struct Case {
        const char* what;
        std::vector<V4l2FrameSizes> offered;
        PixelSize expected;
    } cases[] = {
        {"largest discrete within the limit",
         {discrete(640, 480), discrete(1920, 1080), discrete(1280, 720), discrete(320, 240)},
         {1280, 720}},
        {"4:3 camera: wider loses to larger area",
         {discrete(1280, 960), discrete(960, 720), discrete(1024, 576)},
         {960, 720}},
        {"all too large: the smallest", {discrete(2560, 1440), discrete(1920, 1080)}, {1920, 1080}},
        {"stepwise range clamps to the limit", {stepwise(160, 120, 1920, 1080, 8)}, {1280, 720}},
        {"stepwise range rounds down to its steps",
         {stepwise(100, 100, 1920, 1080, 16)},
         {1268, 708}},
        {"range above the limit: its minimum", {stepwise(1920, 1080, 3840, 2160, 2)}, {1920, 1080}},
        {"nothing listed: ask for the limit", {}, {1280, 720}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chooseFrameSize(c.offered, kCameraMaxSize), c.expected) << c.what;
    }
}

}  // namespace
}  // namespace tessera
