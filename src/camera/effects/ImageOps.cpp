#include "camera/effects/ImageOps.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace tessera::effects {
namespace {

double srgbToLinear(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

double linearToSrgb(double v) {
    v = std::clamp(v, 0.0, 1.0);
    return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}

const std::array<float, 256>& linearTable() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i) {
            t[static_cast<std::size_t>(i)] = static_cast<float>(srgbToLinear(i / 255.0));
        }
        return t;
    }();
    return table;
}

// Sigma at or below which the blur runs at full size.
constexpr double kFullSizeSigma = 8;

}  // namespace

cv::Rect pixelRect(const Rect& rect, cv::Size imageSize) {
    const double top = imageSize.height - rect.maxY();
    const int x0 = static_cast<int>(std::floor(rect.minX()));
    const int y0 = static_cast<int>(std::floor(top));
    const int x1 = static_cast<int>(std::ceil(rect.maxX()));
    const int y1 = static_cast<int>(std::ceil(top + rect.height()));
    return cv::Rect(x0, y0, x1 - x0, y1 - y0) & cv::Rect(cv::Point(), imageSize);
}

cv::Mat scaleToFill(const cv::Mat& picture, cv::Size size) {
    if (picture.cols <= 0 || picture.rows <= 0 || size.width <= 0 || size.height <= 0) {
        return picture;
    }
    const double scale = std::max(static_cast<double>(size.width) / picture.cols,
                                  static_cast<double>(size.height) / picture.rows);
    const cv::Size scaledSize(
        std::max(size.width, static_cast<int>(std::lround(picture.cols * scale))),
        std::max(size.height, static_cast<int>(std::lround(picture.rows * scale))));
    cv::Mat scaled;
    cv::resize(picture, scaled, scaledSize, 0, 0, scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    const cv::Point origin((scaledSize.width - size.width) / 2,
                           (scaledSize.height - size.height) / 2);
    return scaled(cv::Rect(origin, size)).clone();
}

std::optional<double> measuredLuma(const cv::Mat& bgra, const Rect& region) {
    if (region.width() < 1 || region.height() < 1) {
        return std::nullopt;
    }
    const cv::Rect pixels = pixelRect(region, bgra.size());
    if (pixels.empty()) {
        return std::nullopt;
    }
    // Averaged in linear light, as an area average does; a small area-resampled copy
    // keeps the cost independent of the region's size.
    cv::Mat small;
    const cv::Size smallSize(std::min(pixels.width, 64), std::min(pixels.height, 64));
    cv::resize(bgra(pixels), small, smallSize, 0, 0, cv::INTER_AREA);
    const auto& linear = linearTable();
    std::array<double, 3> sum{};
    for (int y = 0; y < small.rows; ++y) {
        const auto* row = small.ptr<cv::Vec4b>(y);
        for (int x = 0; x < small.cols; ++x) {
            for (std::size_t c = 0; c < 3; ++c) {
                sum[c] += linear[row[x][static_cast<int>(c)]];
            }
        }
    }
    const double count = static_cast<double>(small.total());
    const auto channel = [&](std::size_t c) {
        // Rendered as one 8-bit sRGB pixel before the luma is taken.
        return std::round(linearToSrgb(sum[c] / count) * 255) / 255;
    };
    return 0.2126 * channel(2) + 0.7152 * channel(1) + 0.0722 * channel(0);
}

cv::Mat adjustExposure(const cv::Mat& bgra, double ev, double shadowAmount) {
    const double gain = std::exp2(ev);
    cv::Mat table(1, 256, CV_8UC4);
    for (int i = 0; i < 256; ++i) {
        double v = linearToSrgb(srgbToLinear(i / 255.0) * gain);
        // Shadow lift: raises dark tones most, leaves black and the highlights; the
        // curve stays increasing for amounts up to 1.
        v += shadowAmount * 2.5 * v * std::pow(1 - v, 4);
        const auto out = cv::saturate_cast<uchar>(std::round(std::min(v, 1.0) * 255));
        table.at<cv::Vec4b>(0, i) = cv::Vec4b(out, out, out, static_cast<uchar>(i));
    }
    cv::Mat out;
    cv::LUT(bgra, table, out);
    return out;
}

cv::Mat blurClamped(const cv::Mat& bgra, double sigma) {
    cv::Mat out;
    if (sigma <= kFullSizeSigma) {
        cv::GaussianBlur(bgra, out, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);
        return out;
    }
    const double factor = sigma / kFullSizeSigma * 2;
    const cv::Size small(std::max(1, static_cast<int>(std::lround(bgra.cols / factor))),
                         std::max(1, static_cast<int>(std::lround(bgra.rows / factor))));
    cv::Mat reduced;
    cv::resize(bgra, reduced, small, 0, 0, cv::INTER_AREA);
    // The area reduction already averaged about one reduced pixel; blur by the rest.
    const double scaledSigma = sigma * small.width / bgra.cols;
    const double remaining = std::sqrt(std::max(scaledSigma * scaledSigma - 0.25, 0.25));
    cv::GaussianBlur(reduced, reduced, cv::Size(), remaining, remaining, cv::BORDER_REPLICATE);
    cv::resize(reduced, out, bgra.size(), 0, 0, cv::INTER_LINEAR);
    return out;
}

cv::Mat blendWithMask(const cv::Mat& foreground, const cv::Mat& background, const cv::Mat& mask) {
    CV_Assert(foreground.type() == CV_8UC4 && background.type() == CV_8UC4 &&
              mask.type() == CV_8UC1 && foreground.size() == background.size() &&
              foreground.size() == mask.size());
    cv::Mat out(foreground.size(), CV_8UC4);
    // An 8-bit weighted sum in integers: cv::blendLinear would need two float weight
    // planes per frame, which costs more than the blend itself.
    cv::parallel_for_(cv::Range(0, foreground.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const uchar* f = foreground.ptr<uchar>(y);
            const uchar* b = background.ptr<uchar>(y);
            const uchar* m = mask.ptr<uchar>(y);
            uchar* o = out.ptr<uchar>(y);
            for (int x = 0; x < foreground.cols; ++x) {
                const int w = m[x];
                for (int c = 0; c < 4; ++c) {
                    const int i = 4 * x + c;
                    o[i] = static_cast<uchar>((f[i] * w + b[i] * (255 - w) + 127) / 255);
                }
            }
        }
    });
    return out;
}

cv::Mat solidImage(cv::Size size, const RgbaColor& color) {
    const auto channel = [](double v) {
        return std::round(std::clamp(v, 0.0, 1.0) * 255);
    };
    return cv::Mat(size, CV_8UC4,
                   cv::Scalar(channel(color.blue), channel(color.green), channel(color.red), 255));
}

}  // namespace tessera::effects
