#include "camera/effects/FaceDetector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <opencv2/imgproc.hpp>
#include <string>

#include "camera/effects/ModelFiles.h"
#include "support/Log.h"

namespace tessera::effects {
namespace {

constexpr int kInputSize = 192;
constexpr std::array kFullRangeStrides{4};
constexpr double kMinScore = 0.5;
constexpr double kMergeOverlap = 0.3;

double overlap(const FaceBox& a, const FaceBox& b) {
    const double x0 = std::max(a.centerX - a.width / 2, b.centerX - b.width / 2);
    const double x1 = std::min(a.centerX + a.width / 2, b.centerX + b.width / 2);
    const double y0 = std::max(a.centerY - a.height / 2, b.centerY - b.height / 2);
    const double y1 = std::min(a.centerY + a.height / 2, b.centerY + b.height / 2);
    const double shared = std::max(0.0, x1 - x0) * std::max(0.0, y1 - y0);
    const double total = a.width * a.height + b.width * b.height - shared;
    return total > 0 ? shared / total : 0;
}

// MediaPipe's weighted non-maximum suppression: the best box absorbs every box
// overlapping it, positions averaged by score.
std::vector<FaceBox> mergeOverlapping(std::vector<FaceBox> boxes) {
    std::sort(boxes.begin(), boxes.end(),
              [](const FaceBox& a, const FaceBox& b) { return a.score > b.score; });
    std::vector<FaceBox> merged;
    std::vector<bool> used(boxes.size(), false);
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        if (used[i]) {
            continue;
        }
        FaceBox sum{};
        double weight = 0;
        for (std::size_t j = i; j < boxes.size(); ++j) {
            if (used[j] || overlap(boxes[i], boxes[j]) <= kMergeOverlap) {
                continue;
            }
            used[j] = true;
            const double w = boxes[j].score;
            sum.centerX += boxes[j].centerX * w;
            sum.centerY += boxes[j].centerY * w;
            sum.width += boxes[j].width * w;
            sum.height += boxes[j].height * w;
            weight += w;
        }
        merged.push_back({sum.centerX / weight, sum.centerY / weight, sum.width / weight,
                          sum.height / weight, boxes[i].score});
    }
    return merged;
}

}  // namespace

std::vector<Point> blazeFaceAnchors(int inputSize, std::span<const int> layerStrides,
                                    int anchorsPerLayer) {
    std::vector<Point> anchors;
    for (std::size_t layer = 0; layer < layerStrides.size();) {
        const int stride = layerStrides[layer];
        std::size_t sameStride = 0;
        while (layer + sameStride < layerStrides.size() &&
               layerStrides[layer + sameStride] == stride) {
            ++sameStride;
        }
        const int cells = (inputSize + stride - 1) / stride;
        for (int y = 0; y < cells; ++y) {
            for (int x = 0; x < cells; ++x) {
                for (std::size_t k = 0; k < sameStride * static_cast<std::size_t>(anchorsPerLayer);
                     ++k) {
                    anchors.push_back({(x + 0.5) / cells, (y + 0.5) / cells});
                }
            }
        }
        layer += sameStride;
    }
    return anchors;
}

std::vector<FaceBox> decodeFaces(const float* regressors, const float* logits,
                                 std::span<const Point> anchors, int inputSize, double minScore) {
    std::vector<FaceBox> boxes;
    const double size = inputSize;
    for (std::size_t i = 0; i < anchors.size(); ++i) {
        const double logit = std::clamp(static_cast<double>(logits[i]), -100.0, 100.0);
        const double score = 1 / (1 + std::exp(-logit));
        if (score < minScore) {
            continue;
        }
        const float* r = regressors + 16 * i;
        boxes.push_back({r[0] / size + anchors[i].x, r[1] / size + anchors[i].y, r[2] / size,
                         r[3] / size, score});
    }
    return mergeOverlapping(std::move(boxes));
}

FaceDetector::FaceDetector(const std::filesystem::path& modelDirectory)
    : net_(loadModel(modelDirectory / "face_detection_full_range.onnx")),
      anchors_(blazeFaceAnchors(kInputSize, kFullRangeStrides, 1)) {
    if (!available()) {
        logging::warning(kComponent, "no face-detection model in " + modelDirectory.string() +
                                         ": face smoothing and framing are off");
    }
}

std::optional<std::vector<Rect>> FaceDetector::detect(const cv::Mat& bgra) {
    if (net_.empty()) {
        return std::nullopt;
    }
    // Letterboxed into the square input, not squashed, so faces keep their shape.
    const double scale = static_cast<double>(kInputSize) / std::max(bgra.cols, bgra.rows);
    const cv::Size fitted(std::max(1, static_cast<int>(std::lround(bgra.cols * scale))),
                          std::max(1, static_cast<int>(std::lround(bgra.rows * scale))));
    const cv::Point offset((kInputSize - fitted.width) / 2, (kInputSize - fitted.height) / 2);
    try {
        cv::Mat square = cv::Mat::zeros(kInputSize, kInputSize, CV_8UC3);
        cv::Mat fittedFrame;
        cv::resize(bgra, fittedFrame, fitted, 0, 0, cv::INTER_AREA);
        cv::cvtColor(fittedFrame, square(cv::Rect(offset, fitted)), cv::COLOR_BGRA2RGB);
        net_.setInput(cv::dnn::blobFromImage(square, 1.0 / 127.5, cv::Size(),
                                             cv::Scalar(127.5, 127.5, 127.5)));
        std::vector<cv::Mat> outputs;
        net_.forward(outputs, net_.getUnconnectedOutLayersNames());
        CV_Assert(outputs.size() == 2);
        // Told apart by size: 16 regressor values per anchor, one logit.
        const bool regressorsFirst = outputs[0].total() > outputs[1].total();
        const cv::Mat& regressors = outputs[regressorsFirst ? 0 : 1];
        const cv::Mat& logits = outputs[regressorsFirst ? 1 : 0];
        CV_Assert(regressors.total() == 16 * anchors_.size() && logits.total() == anchors_.size());
        const auto boxes = decodeFaces(regressors.ptr<float>(), logits.ptr<float>(), anchors_,
                                       kInputSize, kMinScore);
        lastFailed_ = false;
        std::vector<Rect> faces;
        for (const FaceBox& box : boxes) {
            // From the square input back to the frame, then to a bottom-left origin.
            const double left = ((box.centerX - box.width / 2) * kInputSize - offset.x) / scale;
            const double top = ((box.centerY - box.height / 2) * kInputSize - offset.y) / scale;
            const double width = box.width * kInputSize / scale;
            const double height = box.height * kInputSize / scale;
            faces.emplace_back(left / bgra.cols, 1 - (top + height) / bgra.rows, width / bgra.cols,
                               height / bgra.rows);
        }
        return faces;
    } catch (const cv::Exception&) {
        if (!lastFailed_) {
            logging::handled(kComponent, "face detection", std::current_exception());
        }
        lastFailed_ = true;
        return std::nullopt;
    }
}

}  // namespace tessera::effects
