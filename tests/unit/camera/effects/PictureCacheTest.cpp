#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "camera/effects/PictureCache.h"
#include "support/TempDir.h"

namespace tessera::effects {
namespace {

std::string writePng(const tessera::testing::TempDir& dir, const std::string& name,
                     cv::Scalar colour) {
    const std::string path = (dir.path() / name).string();
    cv::imwrite(path, cv::Mat(8, 8, CV_8UC3, colour));
    return path;
}

TEST(PictureCache, DecodesOnceAndEmptiesWhenTheSixthPathArrives) {
    tessera::testing::TempDir dir;
    PictureCache cache;
    EXPECT_FALSE(cache.load(std::nullopt));
    EXPECT_FALSE(cache.load(std::string()));
    const std::string first = writePng(dir, "0.png", {0, 0, 255});
    const auto picture = cache.load(first);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->type(), CV_8UC4);
    EXPECT_EQ(picture->at<cv::Vec4b>(0, 0), cv::Vec4b(0, 0, 255, 255));
    // Cached: a changed file at the same path is not read again.
    writePng(dir, "0.png", {255, 0, 0});
    EXPECT_EQ(cache.load(first)->at<cv::Vec4b>(0, 0), cv::Vec4b(0, 0, 255, 255));
    for (int i = 1; i < 5; ++i) {
        ASSERT_TRUE(cache.load(writePng(dir, std::to_string(i) + ".png", {0, 255, 0})));
    }
    EXPECT_EQ(cache.size(), 5u);
    ASSERT_TRUE(cache.load(writePng(dir, "5.png", {0, 255, 0})));
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache.load(first)->at<cv::Vec4b>(0, 0), cv::Vec4b(255, 0, 0, 255));
}

}  // namespace
}  // namespace tessera::effects
