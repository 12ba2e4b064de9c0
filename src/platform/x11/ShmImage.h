#pragma once

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/x11/X11Geometry.h"

namespace tessera {

// A 32-bit-per-pixel image that the X server fills: a MIT-SHM segment shared
// with the server when the extension is there, else a plain buffer filled
// through GetImage (much slower, but it works on remote displays).
//
// Rows are tightly packed (width × 4 bytes). Move-only; one thread at a time.
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

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t capacityPixels() const { return capacityPixels_; }
    bool usesSharedMemory() const { return segment_ != 0; }

  private:
    xcb_connection_t* connection_;
    std::size_t capacityPixels_;
    std::uint8_t* data_ = nullptr;
    xcb_shm_seg_t segment_ = 0;
    std::vector<std::uint8_t> fallback_;
};

}  // namespace tessera
