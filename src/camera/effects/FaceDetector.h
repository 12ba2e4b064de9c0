#pragma once

#include <filesystem>
#include <opencv2/core/mat.hpp>
#include <opencv2/dnn.hpp>
#include <optional>
#include <span>
#include <vector>

#include "support/Geometry.h"

namespace tessera::effects {

// BlazeFace's anchors: `anchorsPerLayer` per grid cell and layer, at the cell centres
// normalized to 0...1 (x right, y down), ordered row by row; consecutive layers of
// the same stride share one grid, each adding its anchors to every cell.
std::vector<Point> blazeFaceAnchors(int inputSize, std::span<const int> layerStrides,
                                    int anchorsPerLayer);

// One detected face in the model's square input, normalized to 0...1 with a top-left
// origin.
struct FaceBox {
    double centerX = 0;
    double centerY = 0;
    double width = 0;
    double height = 0;
    double score = 0;
};

// Decodes BlazeFace's output (16 regressor values and one logit per anchor): boxes
// of the anchors scoring at least `minScore`, overlapping boxes (IoU above 0.3)
// merged into their score-weighted mean, best first.
std::vector<FaceBox> decodeFaces(const float* regressors, const float* logits,
                                 std::span<const Point> anchors, int inputSize, double minScore);

// Face detection with MediaPipe's full-range BlazeFace model (192x192, converted to
// ONNX) on OpenCV's dnn module. The full-range model also finds the small faces of
// people further from the camera. Thread: one caller at a time.
class FaceDetector {
  public:
    explicit FaceDetector(const std::filesystem::path& modelDirectory);

    bool available() const { return !net_.empty(); }

    // The faces in a BGRA frame, normalized to 0...1 with a bottom-left origin, best
    // first; nothing when the model is missing or inference fails (logged).
    std::optional<std::vector<Rect>> detect(const cv::Mat& bgra);

  private:
    cv::dnn::Net net_;
    std::vector<Point> anchors_;
    bool lastFailed_ = false;
};

}  // namespace tessera::effects
