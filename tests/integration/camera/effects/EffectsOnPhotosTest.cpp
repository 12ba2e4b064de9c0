#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <string>
#include <vector>

#include "camera/effects/CameraEffectsProcessor.h"
#include "camera/effects/FaceDetector.h"
#include "camera/effects/ModelDirectory.h"
#include "support/TempDir.h"

// The effects with the real models on two photos Debian ships (fetched into the
// model cache by scripts/fetch-models.sh): astronaut.png (512x512, one person, face
// around (180...270, 80...190)) and messi5.jpg (548x342, a player, face around
// (218...256, 90...128)). Pixel coordinates here are columns and rows from the top.
namespace tessera {
namespace {

const std::filesystem::path kPhotos = TESSERA_TEST_PHOTO_DIR;

// Keeps a processed frame under <build>/test-artifacts/camera-effects/ for review.
void saveArtifact(const std::string& name, const cv::Mat& bgra) {
    const std::filesystem::path folder =
        std::filesystem::path(TESSERA_TEST_ARTIFACT_DIR) / "camera-effects";
    std::filesystem::create_directories(folder);
    std::string file = name;
    std::replace(file.begin(), file.end(), ' ', '-');
    cv::imwrite((folder / (file + ".png")).string(), bgra);
}

cv::Mat photo(const std::string& name) {
    const cv::Mat bgr = cv::imread((kPhotos / name).string(), cv::IMREAD_COLOR);
    if (bgr.empty()) {
        ADD_FAILURE() << name << " missing in " << kPhotos << ": run scripts/setup.sh";
        return cv::Mat(64, 64, CV_8UC4, cv::Scalar::all(0));
    }
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    return bgra;
}

// The astronaut on a plain grey 1280x720 frame with the photo's left edge at `x`.
cv::Mat astronautAt(int x) {
    cv::Mat frame(720, 1280, CV_8UC4, cv::Scalar(128, 128, 128, 255));
    photo("astronaut.png").copyTo(frame(cv::Rect(x, 104, 512, 512)));
    return frame;
}

// The best face as a pixel rectangle with a top-left origin.
std::optional<cv::Rect2d> bestFace(effects::FaceDetector& detector, const cv::Mat& frame) {
    const auto faces = detector.detect(frame);
    if (!faces || faces->empty()) {
        return std::nullopt;
    }
    const Rect& f = faces->front();
    return cv::Rect2d(f.minX() * frame.cols, (1 - f.maxY()) * frame.rows, f.width() * frame.cols,
                      f.height() * frame.rows);
}

double meanDifference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    const cv::Scalar mean = cv::mean(difference);
    return (mean[0] + mean[1] + mean[2]) / 3;
}

double sharpness(const cv::Mat& bgra) {
    cv::Mat grey;
    cv::Mat laplacian;
    cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
    cv::Laplacian(grey, laplacian, CV_64F);
    cv::Scalar mean;
    cv::Scalar deviation;
    cv::meanStdDev(laplacian, mean, deviation);
    return deviation[0] * deviation[0];
}

TEST(FaceDetectorOnPhotos, TheFaceBoxLiesOnTheFace) {
    effects::FaceDetector detector(defaultModelDirectory());
    ASSERT_TRUE(detector.available());

    const auto astronaut = bestFace(detector, photo("astronaut.png"));
    ASSERT_TRUE(astronaut);
    EXPECT_NEAR(astronaut->x + astronaut->width / 2, 225, 20);
    EXPECT_NEAR(astronaut->y + astronaut->height / 2, 135, 25);
    EXPECT_GT(astronaut->width, 60);
    EXPECT_LT(astronaut->width, 140);

    // Letterboxed from a wide frame: the box follows the photo's offset.
    const auto placed = bestFace(detector, astronautAt(600));
    ASSERT_TRUE(placed);
    EXPECT_NEAR(placed->x - astronaut->x, 600, 12);
    EXPECT_NEAR(placed->y - astronaut->y, 104, 12);

    // A small face in a wide action photo.
    const auto player = bestFace(detector, photo("messi5.jpg"));
    ASSERT_TRUE(player);
    EXPECT_NEAR(player->x + player->width / 2, 237, 10);
    EXPECT_NEAR(player->y + player->height / 2, 108, 10);
    EXPECT_LT(player->width, 60);
}

struct BackgroundCase {
    const char* name;
    cv::Mat frame;
    std::vector<cv::Rect> person;
    std::vector<cv::Rect> background;
};

std::vector<BackgroundCase> backgroundCases() {
    return {
        // Square frame: the square segmentation model.
        {"astronaut",
         photo("astronaut.png"),
         {cv::Rect(205, 110, 40, 40), cv::Rect(150, 380, 80, 60)},
         {cv::Rect(300, 15, 60, 35), cv::Rect(440, 300, 40, 30)}},
        // Wide frame: the landscape model.
        {"astronaut in 720p",
         astronautAt(100),
         {cv::Rect(305, 214, 40, 40), cv::Rect(300, 420, 50, 40)},
         {cv::Rect(400, 119, 60, 35), cv::Rect(900, 200, 200, 300)}},
    };
}

// Both segmentation models (square and landscape frames); on a still picture
// the mask holds still from frame to frame.
TEST(BackgroundOnPhotos, ColourReplacesTheBackgroundAndKeepsThePerson) {
    CameraEffectSettings settings;
    settings.background = CameraBackgroundMode::color;
    settings.backgroundColor = CameraBackgroundColor::teal;
    const cv::Vec4b teal(140, 140, 26, 255);  // 0.10, 0.55, 0.55 in BGRA
    for (const BackgroundCase& c : backgroundCases()) {
        SCOPED_TRACE(c.name);
        CameraEffectsProcessor processor(defaultModelDirectory());
        const auto out = processor.process(c.frame, settings, 0);
        ASSERT_TRUE(out);
        ASSERT_EQ(out->size(), c.frame.size());
        saveArtifact(std::string("colour background ") + c.name, *out);
        for (const cv::Rect& r : c.person) {
            EXPECT_LT(meanDifference((*out)(r), c.frame(r)), 6) << r;
        }
        const cv::Mat solid(1, 1, CV_8UC4, cv::Scalar(teal));
        for (const cv::Rect& r : c.background) {
            cv::Mat expected;
            cv::resize(solid, expected, r.size());
            EXPECT_LT(meanDifference((*out)(r), expected), 6) << r;
        }
        cv::Mat previous = *out;
        for (int i = 1; i < 4; ++i) {
            const cv::Mat next = *processor.process(c.frame, settings, i / 30.0);
            EXPECT_LT(meanDifference(next, previous), 0.5) << "frame " << i;
            previous = next;
        }
    }
}

TEST(BackgroundOnPhotos, BlurLeavesThePersonSharp) {
    CameraEffectSettings settings;
    settings.background = CameraBackgroundMode::blur;
    settings.blurStrength = 0.6;
    const BackgroundCase c = backgroundCases()[1];
    CameraEffectsProcessor processor(defaultModelDirectory());
    const auto out = processor.process(c.frame, settings, 0);
    ASSERT_TRUE(out);
    saveArtifact("blurred background", *out);
    for (const cv::Rect& r : c.person) {
        EXPECT_GT(sharpness((*out)(r)), 0.8 * sharpness(c.frame(r))) << r;
    }
    for (const cv::Rect& r : c.background) {
        const double before = sharpness(c.frame(r));
        if (before > 20) {  // a plain area has nothing to blur
            EXPECT_LT(sharpness((*out)(r)), 0.25 * before) << r;
        }
    }
}

TEST(BackgroundOnPhotos, PictureFillsTheBackgroundAndMissingPicturesFallBackToTheColour) {
    tessera::testing::TempDir files;
    const std::string picture = (files.path() / "stripes.png").string();
    cv::Mat stripes(100, 100, CV_8UC3, cv::Scalar(0, 0, 255));
    stripes(cv::Rect(0, 50, 100, 50)).setTo(cv::Scalar(255, 0, 0));
    cv::imwrite(picture, stripes);
    CameraEffectSettings settings;
    settings.background = CameraBackgroundMode::image;
    settings.backgroundImagePath = picture;
    settings.backgroundColor = CameraBackgroundColor::white;
    const cv::Mat frame = photo("messi5.jpg");
    CameraEffectsProcessor processor(defaultModelDirectory());
    const auto out = processor.process(frame, settings, 0);
    ASSERT_TRUE(out);
    // Scaled to fill 548x342: the top half red, the bottom half blue.
    EXPECT_EQ(out->at<cv::Vec4b>(20, 40), cv::Vec4b(0, 0, 255, 255));
    EXPECT_EQ(out->at<cv::Vec4b>(330, 40), cv::Vec4b(255, 0, 0, 255));

    settings.backgroundImagePath = (files.path() / "missing.png").string();
    const auto fallback = processor.process(frame, settings, 1 / 30.0);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->at<cv::Vec4b>(20, 40), cv::Vec4b(247, 245, 245, 255));
}

TEST(SmoothingOnPhotos, SoftensTheFaceOnly) {
    CameraEffectSettings settings;
    settings.faceSmoothing = 1.0;
    const cv::Mat frame = photo("astronaut.png");
    CameraEffectsProcessor processor(defaultModelDirectory());
    const auto out = processor.process(frame, settings, 0);
    ASSERT_TRUE(out);
    saveArtifact("smoothed face", *out);
    const cv::Rect cheek(195, 125, 30, 30);
    EXPECT_LT(sharpness((*out)(cheek)), 0.5 * sharpness(frame(cheek)));
    const cv::Rect patch(150, 420, 80, 60);
    EXPECT_LT(meanDifference((*out)(patch), frame(patch)), 0.01);
}

TEST(FramingOnPhotos, TheCropMovesTowardTheFaceAndEases) {
    effects::FaceDetector detector(defaultModelDirectory());
    CameraEffectSettings settings;
    settings.keepFaceCentered = true;
    CameraEffectsProcessor processor(defaultModelDirectory());

    // Face far left: the first framing starts at its target, zoomed by 1.5.
    const cv::Mat left = astronautAt(0);
    const auto before = bestFace(detector, left);
    const auto first = processor.process(left, settings, 0);
    ASSERT_TRUE(before && first);
    const auto framed = bestFace(detector, *first);
    ASSERT_TRUE(framed);
    saveArtifact("framed face at the left", *first);
    EXPECT_NEAR(framed->width / before->width, 1.5, 0.15);
    // The crop is held at the frame's left edge: the face moves right by half a width.
    EXPECT_NEAR(framed->x + framed->width / 2, 1.5 * (before->x + before->width / 2), 20);

    // The person moves to the right edge: from the next face scan (frame 13)
    // the crop glides after the face, 12 % a step, not jumping there at once.
    const cv::Mat right = astronautAt(768);
    const auto settledFace = bestFace(detector, right);
    ASSERT_TRUE(settledFace);
    // Settled, the crop holds the right edge: the face sits 1.5 times as far
    // from it as in the camera frame.
    const double settled = 1280 - 1.5 * (1280 - (settledFace->x + settledFace->width / 2));
    for (int frame = 1; frame < 60; ++frame) {
        const auto out = processor.process(right, settings, frame / 30.0);
        ASSERT_TRUE(out);
        if (frame == 16 || frame == 59) {
            const auto face = bestFace(detector, *out);
            const double centre = face ? face->x + face->width / 2 : -1;
            if (frame == 16) {
                EXPECT_TRUE(centre == -1 || centre > settled + 100)
                    << "still on its way: " << centre;
            } else {
                saveArtifact("framed face settled at the right", *out);
                EXPECT_NEAR(centre, settled, 25);
            }
        }
    }
}

TEST(ProfileOnPhotos, ShowsThePictureScaledAndRetriesAnUndecodableFile) {
    tessera::testing::TempDir files;
    const std::string path = (files.path() / "profile.jpg").string();
    std::ofstream(path) << "\xff\xd8 truncated jpeg";
    CameraEffectSettings settings;
    settings.showProfile = true;
    settings.profileImagePath = path;
    settings.background = CameraBackgroundMode::blur;  // not applied over a profile
    CameraEffectsProcessor processor(defaultModelDirectory());
    const cv::Mat camera = astronautAt(0);
    EXPECT_FALSE(processor.process(camera, settings, 0));
    EXPECT_FALSE(processor.process(camera, settings, 1 / 30.0));

    std::filesystem::copy_file(kPhotos / "messi5.jpg", path,
                               std::filesystem::copy_options::overwrite_existing);
    const auto shown = processor.process(camera, settings, 2 / 30.0);
    ASSERT_TRUE(shown);
    ASSERT_EQ(shown->size(), camera.size());
    // 548x342 filled into 1280x720: scaled by 1280 / 548, the top and bottom cut; the
    // photo's centre lands on the frame's centre.
    const cv::Mat player = photo("messi5.jpg");
    const cv::Rect centre(600, 330, 80, 60);
    const double scale = std::max(1280.0 / 548, 720.0 / 342);
    cv::Mat scaled;
    cv::resize(player, scaled, {}, scale, scale, cv::INTER_LINEAR);
    const cv::Point shift((scaled.cols - 1280) / 2, (scaled.rows - 720) / 2);
    EXPECT_LT(meanDifference((*shown)(centre), scaled(centre + shift)), 4);
}

}  // namespace
}  // namespace tessera
