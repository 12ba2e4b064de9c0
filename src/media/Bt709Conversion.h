#pragma once

// Screen pictures (BGRX: blue, green, red, one ignored byte) to planar 4:2:0,
// BT.709 limited range, at the same size. libswscale does this through its
// general scaling path at about 4.5 ms for a 1080p frame and 24 ms at 4K on
// one core; this costs about 1 ms and 4 ms with AVX2 (and about a third of
// libswscale's time on processors without it), which at 4K is the difference
// between keeping up and dropping frames. Pictures that must also be scaled
// still go through libswscale.

#include <cstdint>

namespace tessera {

struct Yuv420Planes {
    uint8_t* y = nullptr;
    uint8_t* u = nullptr;
    uint8_t* v = nullptr;
    int yStride = 0;
    int uStride = 0;
    int vStride = 0;
};

// width and height must be even and positive. Luma is computed per pixel and
// each chroma sample from the sum of its 2x2 block; every value is within one
// step of the exact BT.709 result. Uses AVX2 where the processor has it; the
// result is the same either way.
void convertBgrxToYuv420Bt709(const uint8_t* source, int sourceStride, int width, int height,
                              const Yuv420Planes& target);

namespace detail {
// The loop every processor runs; the AVX2 path must match it byte for byte.
void convertBgrxToYuv420Bt709Portable(const uint8_t* source, int sourceStride, int width,
                                      int height, const Yuv420Planes& target);
bool conversionUsesAvx2();
}  // namespace detail

}  // namespace tessera
