// Still pictures from phones carry their orientation as an EXIF tag rather
// than in their pixels; the decoded picture must come out upright.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "camera/effects/PictureFile.h"
#include "support/TempDir.h"

namespace tessera::effects {
namespace {

// A JPEG of `picture` with an EXIF block holding only the orientation tag,
// placed right after the start-of-image marker as cameras write it.
std::string jpegWithOrientation(const cv::Mat& picture, int orientation) {
    std::vector<unsigned char> encoded;
    cv::imencode(".jpg", picture, encoded, {cv::IMWRITE_JPEG_QUALITY, 95});
    // APP1 of 34 bytes: "Exif", a big-endian TIFF header whose first IFD (at 8)
    // holds one entry, Orientation (0x0112, SHORT, count 1), and no next IFD.
    std::string exif(
        "\xFF\xE1\x00\x22"
        "Exif\0\0"
        "MM\x00\x2A\0\0\0\x08"
        "\x00\x01\x01\x12\x00\x03\0\0\0\x01\x00?\0\0\0\0\0\0",
        36);
    exif[29] = static_cast<char>(orientation);
    std::string bytes(encoded.begin(), encoded.begin() + 2);
    bytes += exif;
    bytes.append(encoded.begin() + 2, encoded.end());
    return bytes;
}

TEST(PictureFile, TheExifOrientationTurnsThePictureUpright) {
    // 40 wide, 20 high: red on the left, blue on the right.
    cv::Mat picture(20, 40, CV_8UC3, cv::Scalar(0, 0, 255));
    picture(cv::Rect(20, 0, 20, 20)).setTo(cv::Scalar(255, 0, 0));
    testing::TempDir files;
    struct Case {
        int orientation;
        cv::Size size;
        cv::Point red;  // a point that must be red once upright
    };
    // Orientation 1 is the picture as stored; 3 is upside down; 6 and 8 are
    // quarter turns (the left edge ends at the top, or at the bottom); 2 is
    // mirrored.
    for (const Case& c :
         {Case{1, {40, 20}, {5, 10}}, Case{2, {40, 20}, {35, 10}}, Case{3, {40, 20}, {35, 10}},
          Case{6, {20, 40}, {10, 5}}, Case{8, {20, 40}, {10, 35}}}) {
        const auto path = files.path() / ("o" + std::to_string(c.orientation) + ".jpg");
        std::ofstream(path, std::ios::binary) << jpegWithOrientation(picture, c.orientation);
        const auto decoded = decodePictureFile(path.string());
        ASSERT_TRUE(decoded) << c.orientation;
        EXPECT_EQ(decoded->size(), c.size) << c.orientation;
        const auto pixel = decoded->at<cv::Vec4b>(c.red);
        EXPECT_GT(pixel[2], 200) << "orientation " << c.orientation;
        EXPECT_LT(pixel[0], 60) << "orientation " << c.orientation;
    }
}

}  // namespace
}  // namespace tessera::effects
