#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "media/MediaSample.h"
#include "platform/x11/X11Geometry.h"

struct SwsContext;

namespace tessera {

// Pixel work of the screen capture on 32-bit BGRA images. Pure functions and
// one scaler; no X11.

// Copies `height` rows of `width` pixels, setting every alpha byte to 255 (the
// X server leaves the padding byte of a 24-bit visual undefined).
void copyOpaque(const std::uint8_t* source, int sourceStride, std::uint8_t* target,
                int targetStride, int width, int height);

// Copies a block of pixels as they are.
void copyBlock(const std::uint8_t* source, int sourceStride, std::uint8_t* target, int targetStride,
               int width, int height);

// Draws a cursor image (premultiplied ARGB in native-endian 32-bit words, as
// XFixes gives it) with its top-left corner at (x, y) of `frame`; the parts
// outside the frame are clipped.
void drawCursor(PixelBuffer& frame, const std::uint32_t* argb, int width, int height, int x, int y);

// Draws the click highlight: a translucent yellow disc of `radius` pixels
// centred on (x, y), clipped to the frame.
void drawClickHighlight(PixelBuffer& frame, int x, int y, int radius);

// Where a source of sourceWidth × sourceHeight lands inside a frame of
// targetWidth × targetHeight when scaled to fit with its aspect ratio kept
// and centred.
PixelRect fittedRect(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight);

// Scales BGRA images to a fixed output size, keeping the aspect ratio and
// filling the margins with black. Reuses its scaler while the sizes stay.
// One thread at a time.
class FrameScaler {
  public:
    FrameScaler();
    ~FrameScaler();
    FrameScaler(const FrameScaler&) = delete;
    FrameScaler& operator=(const FrameScaler&) = delete;

    // Fills all of `frame` (opaque) from the source pixels.
    void scale(const std::uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
               PixelBuffer& frame);

  private:
    struct Free {
        void operator()(SwsContext* context) const;
    };
    std::unique_ptr<SwsContext, Free> context_;
    int sourceWidth_ = 0;
    int sourceHeight_ = 0;
    int targetWidth_ = 0;
    int targetHeight_ = 0;
    PixelRect placed_;
};

}  // namespace tessera

namespace tessera {

// Recycles frame buffers of one size: a buffer comes back once every sample
// that shared it is gone, which saves allocating and clearing a full frame
// each time. One thread at a time; the buffers may be dropped on any thread.
class FrameBufferPool {
  public:
    // Unbounded: when all buffers are out, take() makes a new one (a few are
    // kept for reuse).
    FrameBufferPool() = default;
    // Bounded: at most `maxBuffers` exist; when all are out, take() gives none
    // rather than allocating more.
    explicit FrameBufferPool(std::size_t maxBuffers)
        : maxBuffers_(std::max<std::size_t>(1, maxBuffers)) {}

    // A buffer of that size that nobody else holds, its old pixels kept; null
    // when a bounded pool has all out. `ownedByCaller` counts as free when
    // only the pool and the caller hold it (see ShmFramePool::take).
    std::shared_ptr<PixelBuffer> take(int width, int height,
                                      const PixelBuffer* ownedByCaller = nullptr);

  private:
    std::optional<std::size_t> maxBuffers_;
    std::vector<std::shared_ptr<PixelBuffer>> buffers_;
};

}  // namespace tessera
