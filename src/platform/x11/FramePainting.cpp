#include "platform/x11/FramePainting.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

namespace tessera {

void copyOpaque(const std::uint8_t* source, int sourceStride, std::uint8_t* target,
                int targetStride, int width, int height) {
    for (int y = 0; y < height; ++y) {
        const auto* in = source + static_cast<std::ptrdiff_t>(y) * sourceStride;
        auto* out = target + static_cast<std::ptrdiff_t>(y) * targetStride;
        // Word-wise with memcpy keeps it free of aliasing faults; the compiler
        // turns the loop into vector code.
        for (int x = 0; x < width; ++x) {
            std::uint32_t pixel;
            std::memcpy(&pixel, in + 4 * x, 4);
            pixel |= 0xFF000000u;
            std::memcpy(out + 4 * x, &pixel, 4);
        }
    }
}

void copyBlock(const std::uint8_t* source, int sourceStride, std::uint8_t* target, int targetStride,
               int width, int height) {
    for (int y = 0; y < height; ++y) {
        std::memcpy(target + static_cast<std::ptrdiff_t>(y) * targetStride,
                    source + static_cast<std::ptrdiff_t>(y) * sourceStride,
                    static_cast<std::size_t>(width) * 4);
    }
}

void drawCursor(PixelBuffer& frame, const std::uint32_t* argb, int width, int height, int x,
                int y) {
    const int left = std::max(0, x);
    const int top = std::max(0, y);
    const int right = std::min(frame.width, x + width);
    const int bottom = std::min(frame.height, y + height);
    for (int row = top; row < bottom; ++row) {
        auto* out = frame.row(row);
        const auto* in = argb + static_cast<std::ptrdiff_t>(row - y) * width;
        for (int col = left; col < right; ++col) {
            const std::uint32_t pixel = in[col - x];
            const std::uint32_t alpha = pixel >> 24;
            if (alpha == 0) {
                continue;
            }
            auto* px = out + 4 * col;
            // Premultiplied "over": out = src + dst × (1 − αsrc).
            for (int c = 0; c < 3; ++c) {
                const std::uint32_t src = (pixel >> (8 * c)) & 0xFF;
                px[c] = static_cast<std::uint8_t>(
                    std::min<std::uint32_t>(255, src + (px[c] * (255 - alpha) + 127) / 255));
            }
            px[3] = 255;
        }
    }
}

void drawClickHighlight(PixelBuffer& frame, int x, int y, int radius) {
    const int r2 = radius * radius;
    for (int row = std::max(0, y - radius); row < std::min(frame.height, y + radius + 1); ++row) {
        auto* out = frame.row(row);
        for (int col = std::max(0, x - radius); col < std::min(frame.width, x + radius + 1);
             ++col) {
            const int dx = col - x;
            const int dy = row - y;
            if (dx * dx + dy * dy > r2) {
                continue;
            }
            auto* px = out + 4 * col;
            // 45 % yellow (B 0, G 220, R 255) over the picture.
            px[0] = static_cast<std::uint8_t>(px[0] * 55 / 100);
            px[1] = static_cast<std::uint8_t>((px[1] * 55 + 220 * 45) / 100);
            px[2] = static_cast<std::uint8_t>((px[2] * 55 + 255 * 45) / 100);
        }
    }
}

PixelRect fittedRect(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight) {
    if (sourceWidth <= 0 || sourceHeight <= 0) {
        return {0, 0, targetWidth, targetHeight};
    }
    const double scale = std::min(static_cast<double>(targetWidth) / sourceWidth,
                                  static_cast<double>(targetHeight) / sourceHeight);
    const int width =
        std::clamp(static_cast<int>(std::lround(sourceWidth * scale)), 1, targetWidth);
    const int height =
        std::clamp(static_cast<int>(std::lround(sourceHeight * scale)), 1, targetHeight);
    return {(targetWidth - width) / 2, (targetHeight - height) / 2, width, height};
}

void FrameScaler::Free::operator()(SwsContext* context) const {
    sws_freeContext(context);
}

FrameScaler::FrameScaler() = default;
FrameScaler::~FrameScaler() = default;

void FrameScaler::scale(const std::uint8_t* source, int sourceStride, int sourceWidth,
                        int sourceHeight, PixelBuffer& frame) {
    const int targetWidth = frame.width;
    const int targetHeight = frame.height;
    for (int y = 0; y < targetHeight; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(frame.row(y));
        std::fill(row, row + targetWidth, 0xFF000000u);
    }
    if (!context_ || sourceWidth != sourceWidth_ || sourceHeight != sourceHeight_ ||
        targetWidth != targetWidth_ || targetHeight != targetHeight_) {
        placed_ = fittedRect(sourceWidth, sourceHeight, targetWidth, targetHeight);
        // The source's padding byte is undefined: read it as BGR0 so that the
        // scaler writes opaque alpha.
        context_.reset(sws_getContext(sourceWidth, sourceHeight, AV_PIX_FMT_BGR0, placed_.width,
                                      placed_.height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr,
                                      nullptr, nullptr));
        sourceWidth_ = sourceWidth;
        sourceHeight_ = sourceHeight;
        targetWidth_ = targetWidth;
        targetHeight_ = targetHeight;
    }
    if (!context_) {
        return;  // black: better than no frame
    }
    const std::uint8_t* in[4] = {source, nullptr, nullptr, nullptr};
    const int inStride[4] = {sourceStride, 0, 0, 0};
    std::uint8_t* out[4] = {frame.row(placed_.y) + 4 * placed_.x, nullptr, nullptr, nullptr};
    const int outStride[4] = {frame.bytesPerRow, 0, 0, 0};
    sws_scale(context_.get(), in, inStride, 0, sourceHeight, out, outStride);
}

}  // namespace tessera

namespace tessera {

std::shared_ptr<PixelBuffer> FrameBufferPool::take(int width, int height,
                                                   const PixelBuffer* ownedByCaller) {
    // An unbounded pool keeps this many for reuse: a few in flight (encoder
    // hand-off, the last frame kept for the end of the timeline) are normal.
    constexpr std::size_t kKeptWhenUnbounded = 8;
    std::erase_if(buffers_,
                  [&](const auto& b) { return b->width != width || b->height != height; });
    std::shared_ptr<PixelBuffer> callers;
    for (const auto& buffer : buffers_) {
        // Only this pool holds it: every sample that shared it is gone, and no
        // one can take a new reference without going through the pool.
        if (buffer.use_count() == 1) {
            return buffer;
        }
        if (buffer.get() == ownedByCaller && buffer.use_count() == 2) {
            callers = buffer;
        }
    }
    if (maxBuffers_ && (buffers_.size() >= *maxBuffers_ || callers)) {
        return callers;
    }
    auto buffer = PixelBuffer::make(width, height);
    if (buffers_.size() < maxBuffers_.value_or(kKeptWhenUnbounded)) {
        buffers_.push_back(buffer);
    }
    return buffer;
}

}  // namespace tessera
