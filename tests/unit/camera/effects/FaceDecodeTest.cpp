#include <gtest/gtest.h>

#include <vector>

#include "camera/effects/FaceDetector.h"

namespace tessera::effects {
namespace {

struct RawOutput {
    explicit RawOutput(std::size_t anchors)
        : regressors(16 * anchors, 0.f), logits(anchors, -20.f) {}
    void set(std::size_t i, float dx, float dy, float w, float h, float logit) {
        regressors[16 * i] = dx;
        regressors[16 * i + 1] = dy;
        regressors[16 * i + 2] = w;
        regressors[16 * i + 3] = h;
        logits[i] = logit;
    }
    std::vector<float> regressors;
    std::vector<float> logits;
};

TEST(DecodeFaces, OffsetsFromTheAnchorInInputPixelsAndScoresBySigmoid) {
    const std::vector<Point> anchors{{0.25, 0.25}, {0.75, 0.75}, {0.5, 0.5}};
    RawOutput raw(anchors.size());
    raw.set(1, 19.2f, -9.6f, 48.f, 57.6f, 2.f);
    raw.set(2, 0.f, 0.f, 40.f, 40.f, -0.5f);  // sigmoid 0.38: below 0.5
    const auto faces = decodeFaces(raw.regressors.data(), raw.logits.data(), anchors, 192, 0.5);
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_NEAR(faces[0].centerX, 0.75 + 0.1, 1e-6);
    EXPECT_NEAR(faces[0].centerY, 0.75 - 0.05, 1e-6);
    EXPECT_NEAR(faces[0].width, 0.25, 1e-6);
    EXPECT_NEAR(faces[0].height, 0.3, 1e-6);
    EXPECT_NEAR(faces[0].score, 1 / (1 + std::exp(-2.0)), 1e-9);
}

TEST(DecodeFaces, MergesOverlappingBoxesWeightedByScoreBestFirst) {
    const std::vector<Point> anchors{{0.5, 0.5}, {0.52, 0.5}, {0.1, 0.1}};
    RawOutput raw(anchors.size());
    raw.set(0, 0, 0, 20, 20, 0.f);    // score 0.5
    raw.set(1, 0, 0, 20, 20, 100.f);  // score 1.0, overlaps the first
    raw.set(2, 0, 0, 10, 10, 1.f);    // elsewhere
    const auto faces = decodeFaces(raw.regressors.data(), raw.logits.data(), anchors, 100, 0.5);
    ASSERT_EQ(faces.size(), 2u);
    EXPECT_NEAR(faces[0].centerX, (0.5 * 0.5 + 0.52 * 1.0) / 1.5, 1e-6);
    EXPECT_NEAR(faces[0].score, 1.0, 1e-9);
    EXPECT_NEAR(faces[1].centerX, 0.1, 1e-9);
}

}  // namespace
}  // namespace tessera::effects
