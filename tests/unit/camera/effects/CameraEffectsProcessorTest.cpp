#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "camera/effects/CameraEffectsProcessor.h"
#include "support/Log.h"
#include "support/TempDir.h"

// The processor without models (an empty model folder): the effects that need no
// model run, the others are skipped with one warning.
namespace tessera {
namespace {

cv::Mat frameOf(int value, cv::Size size = {64, 36}) {
    return cv::Mat(size, CV_8UC4, cv::Scalar(value, value, value, 255));
}

struct Fixture : ::testing::Test {
    tessera::testing::TempDir models;
    CameraEffectsProcessor processor{models.path()};
    std::vector<std::string> warnings;
    logging::LogCapture capture{
        [this](logging::Level level, std::string_view component, std::string_view message) {
            if (level >= logging::Level::warning && component == "camera-effects") {
                warnings.emplace_back(message);
            }
        }};
};

using CameraEffectsProcessorTest = Fixture;

// No effect on, or no picture, gives no frame (the caller keeps its own).
TEST_F(CameraEffectsProcessorTest, NothingToDoGivesNoFrame) {
    EXPECT_FALSE(processor.process(frameOf(100), CameraEffectSettings{}, 0));

    CameraEffectSettings lighting;
    lighting.autoLighting = true;
    EXPECT_FALSE(processor.process(cv::Mat(0, 10, CV_8UC4), lighting, 0));
    EXPECT_FALSE(processor.process(cv::Mat(), lighting, 0));
}

// Each output is a frame of its own: one the caller still holds is never
// written again, and neither is the input.
TEST_F(CameraEffectsProcessorTest, AutoLightingBrightensADarkFrameGraduallyIntoFreshFrames) {
    CameraEffectSettings settings;
    settings.autoLighting = true;
    const cv::Mat dark = frameOf(30);
    std::vector<int> levels;
    cv::Mat first;
    cv::Mat kept;
    for (int frame = 0; frame < 60; ++frame) {
        const auto out = processor.process(dark, settings, frame / 30.0);
        ASSERT_TRUE(out);
        ASSERT_NE(out->data, dark.data);
        ASSERT_NE(out->data, first.data) << frame;
        if (frame == 0) {
            first = *out;
            kept = first.clone();
        }
        levels.push_back(out->at<cv::Vec4b>(10, 10)[1]);
    }
    EXPECT_EQ(dark.at<cv::Vec4b>(10, 10), cv::Vec4b(30, 30, 30, 255));
    EXPECT_EQ(cv::norm(first, kept, cv::NORM_INF), 0);
    for (std::size_t i = 1; i < levels.size(); ++i) {
        EXPECT_GE(levels[i], levels[i - 1]);
    }
    EXPECT_LT(levels[0], levels[10]);
    EXPECT_LT(levels[10], levels[59]);
}

TEST_F(CameraEffectsProcessorTest, EffectsWithoutModelsPassTheFrameAndWarnOnce) {
    CameraEffectSettings settings;
    settings.background = CameraBackgroundMode::color;
    settings.faceSmoothing = 0.5;
    settings.keepFaceCentered = true;
    const cv::Mat frame = frameOf(77);
    for (int i = 0; i < 5; ++i) {
        const auto out = processor.process(frame, settings, i / 30.0);
        ASSERT_TRUE(out);
        EXPECT_EQ(cv::norm(*out, frame, cv::NORM_INF), 0);
    }
    EXPECT_EQ(warnings.size(), 2u);  // one per missing model kind

    // A picture of another layout is refused with a warning, not read past its end.
    EXPECT_FALSE(processor.process(cv::Mat(36, 64, CV_8UC1, cv::Scalar(1)), settings, 1));
    EXPECT_EQ(warnings.size(), 3u);
}

}  // namespace
}  // namespace tessera
