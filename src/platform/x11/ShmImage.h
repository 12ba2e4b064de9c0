#pragma once

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/MediaSample.h"
#include "platform/x11/X11Geometry.h"

namespace tessera {

// A 32-bit-per-pixel image that the X server fills: a MIT-SHM segment shared
// with the server when the extension is there, else a plain buffer filled
// through GetImage (much slower, but it works on remote displays).
//
// Rows are tightly packed (width × 4 bytes). Not copyable; one thread at a time.
// The pixel memory can outlive the image (see memory()): destroying the image
// detaches the segment from the server at once, and unmaps it only when the
// last holder of the memory lets go.
class ShmImage {
  public:
    // Room for `capacityPixels` pixels. Throws RecorderError when shared memory
    // is available but cannot be set up.
    ShmImage(xcb_connection_t* connection, std::size_t capacityPixels);
    ~ShmImage();
    ShmImage(const ShmImage&) = delete;
    ShmImage& operator=(const ShmImage&) = delete;

    // Whether the X server has MIT-SHM for this connection.
    static bool isAvailable(xcb_connection_t* connection);

    // Reads `area` of `drawable` (in the drawable's coordinates) into the
    // image; rows width × 4 bytes apart. False when the server refuses (the
    // drawable is gone, the area lies outside it, or it is not 32 bits deep).
    bool grab(xcb_drawable_t drawable, const PixelRect& area);

    std::uint8_t* data() { return memory_.get(); }
    const std::uint8_t* data() const { return memory_.get(); }
    // Keeps the pixel memory mapped while held, also after the image is gone
    // (the server no longer writes into it then). Any thread may drop it.
    std::shared_ptr<std::uint8_t> memory() const { return memory_; }
    std::size_t capacityPixels() const { return capacityPixels_; }
    bool usesSharedMemory() const { return segment_ != 0; }

  private:
    xcb_connection_t* connection_;
    std::size_t capacityPixels_;
    std::shared_ptr<std::uint8_t> memory_;
    xcb_shm_seg_t segment_ = 0;
};

// Full frames the X server grabs into directly, handed out as PixelBuffers
// without a copy (their fourth byte is the server's padding). A frame is
// reused once every sample that shared it is gone. At most `maxFrames` exist;
// when all are out, take() gives none: the caller skips the grab rather than
// allocating more or waiting for the consumers. One thread at a time (the
// capture thread); the frames may be dropped on any thread, also after the
// pool is gone.
class ShmFramePool {
  public:
    struct Slot {
        std::unique_ptr<ShmImage> image;
        std::shared_ptr<PixelBuffer> frame;
    };

    explicit ShmFramePool(std::size_t maxFrames)
        : maxFrames_(std::max<std::size_t>(1, maxFrames)) {}

    // A slot of width × height whose frame nobody else holds, with its old
    // pixels; null when all are out. `ownedByCaller` is a frame the caller
    // itself keeps (its last frame): its slot also counts as free when only the
    // pool and the caller hold it, since the caller is about to replace it.
    // Valid until the next take() or clear(). Throws RecorderError when a new
    // segment cannot be set up.
    Slot* take(xcb_connection_t* connection, int width, int height,
               const PixelBuffer* ownedByCaller = nullptr);
    // Forgets every slot (the frames still out stay valid).
    void clear() { slots_.clear(); }
    // Frames the pool has set up and not forgotten.
    std::size_t size() const { return slots_.size(); }

  private:
    std::size_t maxFrames_;
    std::vector<Slot> slots_;
};

}  // namespace tessera
