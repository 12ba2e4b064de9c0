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

// Where each box lies is pinned by the detector's photo test; overlapping boxes
// merge weighted by score, best first, and a score below the threshold is out.
TEST(DecodeFaces, MergesOverlappingBoxesWeightedByScoreBestFirst) {
    const std::vector<Point> anchors{{0.5, 0.5}, {0.52, 0.5}, {0.1, 0.1}, {0.9, 0.9}};
    RawOutput raw(anchors.size());
    raw.set(0, 0, 0, 20, 20, 0.f);    // score 0.5
    raw.set(1, 0, 0, 20, 20, 100.f);  // score 1.0, overlaps the first
    raw.set(2, 0, 0, 10, 10, 1.f);    // elsewhere
    raw.set(3, 0, 0, 10, 10, -0.5f);  // sigmoid 0.38: below 0.5
    const auto faces = decodeFaces(raw.regressors.data(), raw.logits.data(), anchors, 100, 0.5);
    ASSERT_EQ(faces.size(), 2u);
    EXPECT_NEAR(faces[0].centerX, (0.5 * 0.5 + 0.52 * 1.0) / 1.5, 1e-6);
    EXPECT_NEAR(faces[0].score, 1.0, 1e-9);
    EXPECT_NEAR(faces[1].centerX, 0.1, 1e-9);
}

}  // namespace
}  // namespace tessera::effects
