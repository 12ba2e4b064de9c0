#include "camera/effects/ImageOps.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
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

cv::Mat ReusableFrame::take(cv::Size size, int type) {
    const bool onlyHere = kept_.u != nullptr && kept_.u->refcount == 1;
    if (!onlyHere || kept_.size() != size || kept_.type() != type) {
        kept_ = cv::Mat(size, type);
    }
    return kept_;
}

cv::Mat ScratchFrames::take(std::size_t index, cv::Size size, int type) {
    if (frames.size() <= index) {
        frames.resize(index + 1);
    }
    return frames[index].take(size, type);
}

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

cv::Mat adjustExposure(const cv::Mat& bgra, double ev, double shadowAmount, cv::Mat out) {
    CV_Assert(bgra.type() == CV_8UC4);
    const double gain = std::exp2(ev);
    std::array<uchar, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        double v = linearToSrgb(srgbToLinear(static_cast<double>(i) / 255.0) * gain);
        // Shadow lift: raises dark tones most, leaves black and the highlights; the
        // curve stays increasing for amounts up to 1.
        v += shadowAmount * 2.5 * v * std::pow(1 - v, 4);
        table[i] = cv::saturate_cast<uchar>(std::round(std::min(v, 1.0) * 255));
    }
    out.create(bgra.size(), CV_8UC4);
    // One table for the three colours and alpha copied: cv::LUT would either map alpha
    // too (one-channel table) or take the slow path of a four-channel table.
    cv::parallel_for_(cv::Range(0, bgra.rows), [&](const cv::Range& rows) {
        // Local copies: stores through uchar pointers could alias anything, which would
        // make the compiler reload the table and pointers after every byte.
        const std::array<uchar, 256> lut = table;
        const int width = 4 * bgra.cols;
        for (int y = rows.start; y < rows.end; ++y) {
            const uchar* __restrict in = bgra.ptr<uchar>(y);
            uchar* __restrict o = out.ptr<uchar>(y);
            for (int x = 0; x < width; x += 4) {
                const uchar b = lut[in[x]];
                const uchar g = lut[in[x + 1]];
                const uchar r = lut[in[x + 2]];
                const uchar a = in[x + 3];
                o[x] = b;
                o[x + 1] = g;
                o[x + 2] = r;
                o[x + 3] = a;
            }
        }
    });
    return out;
}

cv::Mat blurClamped(const cv::Mat& bgra, double sigma, cv::Mat out, ScratchFrames* scratch) {
    if (sigma <= kFullSizeSigma) {
        cv::GaussianBlur(bgra, out, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);
        return out;
    }
    // Halve with pyrDown (itself a 5x5 Gaussian, sigma about 1.1 at its input's scale)
    // while the rest of the blur stays at least 2 pixels wide at the reduced scale,
    // blur by the rest, and scale back up.
    cv::Mat reduced = bgra;
    double variance = 0;  // blur so far, in full-size pixels squared
    int factor = 1;
    std::size_t level = 0;
    while (sigma / (2 * factor) >= 3 && reduced.cols >= 4 && reduced.rows >= 4) {
        const cv::Size halfSize((reduced.cols + 1) / 2, (reduced.rows + 1) / 2);
        cv::Mat half = scratch ? scratch->take(level++, halfSize, reduced.type()) : cv::Mat();
        cv::pyrDown(reduced, half, cv::Size(), cv::BORDER_REPLICATE);
        variance += (1.1 * factor) * (1.1 * factor);
        factor *= 2;
        reduced = half;
    }
    const double remaining = std::sqrt(std::max(sigma * sigma - variance, 1.0)) / factor;
    cv::Mat blurred = scratch ? scratch->take(level, reduced.size(), reduced.type()) : cv::Mat();
    cv::GaussianBlur(reduced, blurred, cv::Size(), remaining, remaining, cv::BORDER_REPLICATE);
    cv::resize(blurred, out, bgra.size(), 0, 0, cv::INTER_LINEAR);
    return out;
}

cv::Mat blendWithMask(const cv::Mat& foreground, const cv::Mat& background, const cv::Mat& mask,
                      cv::Mat out) {
    CV_Assert(foreground.type() == CV_8UC4 && background.type() == CV_8UC4 &&
              mask.type() == CV_8UC1 && foreground.size() == background.size() &&
              foreground.size() == mask.size());
    out.create(foreground.size(), CV_8UC4);
    // An 8-bit weighted sum in integers: cv::blendLinear would need two float weight
    // planes per frame, which costs more than the blend itself.
    cv::parallel_for_(cv::Range(0, foreground.rows), [&](const cv::Range& rows) {
        const int width = foreground.cols;
        for (int y = rows.start; y < rows.end; ++y) {
            const uchar* __restrict f = foreground.ptr<uchar>(y);
            const uchar* __restrict b = background.ptr<uchar>(y);
            const uchar* __restrict m = mask.ptr<uchar>(y);
            uchar* __restrict o = out.ptr<uchar>(y);
            for (int x = 0; x < width; ++x) {
                const int w = m[x];
                const int i = 4 * x;
                // Most of a person mask is fully in or fully out.
                if (w == 255) {
                    std::memcpy(o + i, f + i, 4);
                } else if (w == 0) {
                    std::memcpy(o + i, b + i, 4);
                } else {
                    for (int c = i; c < i + 4; ++c) {
                        o[c] = static_cast<uchar>((f[c] * w + b[c] * (255 - w) + 127) / 255);
                    }
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
