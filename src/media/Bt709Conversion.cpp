#include "media/Bt709Conversion.h"

#include <cstddef>

namespace tessera {

namespace {

// Y = 16 + 219/255 (0.2126 R + 0.7152 G + 0.0722 B), in 8 fractional bits so
// that the vectorised loop can work in 16-bit lanes (at most 0.9 off).
constexpr int kYr = 47;
constexpr int kYg = 157;
constexpr int kYb = 16;

// Cb and Cr from the sum of a 2x2 block in 14 + 2 fractional bits (at most
// 0.51 off); each row of coefficients sums to zero, so greys get exactly 128.
constexpr int kUr = -1649;
constexpr int kUg = -5547;
constexpr int kUb = 7196;
constexpr int kVr = 7196;
constexpr int kVg = -6536;
constexpr int kVb = -660;

inline uint8_t luma(const uint8_t* p) {
    return static_cast<uint8_t>(((kYr * p[2] + kYg * p[1] + kYb * p[0] + 128) >> 8) + 16);
}

}  // namespace

// An AVX2 copy is chosen at load time where the processor has it.
__attribute__((target_clones("avx2", "default"))) void convertBgrxToYuv420Bt709(
    const uint8_t* source, int sourceStride, int width, int height, const Yuv420Planes& target) {
    const int chromaWidth = width / 2;
    for (int row = 0; row + 1 < height; row += 2) {
        const uint8_t* __restrict top = source + static_cast<ptrdiff_t>(row) * sourceStride;
        const uint8_t* __restrict bottom = top + sourceStride;
        uint8_t* __restrict yTop = target.y + static_cast<ptrdiff_t>(row) * target.yStride;
        uint8_t* __restrict yBottom = yTop + target.yStride;
        uint8_t* __restrict u = target.u + static_cast<ptrdiff_t>(row / 2) * target.uStride;
        uint8_t* __restrict v = target.v + static_cast<ptrdiff_t>(row / 2) * target.vStride;
        for (int x = 0; x < width; ++x) {
            yTop[x] = luma(top + 4 * x);
            yBottom[x] = luma(bottom + 4 * x);
        }
        for (int x = 0; x < chromaWidth; ++x) {
            const uint8_t* a = top + 8 * x;
            const uint8_t* b = bottom + 8 * x;
            const int blue = a[0] + a[4] + b[0] + b[4];
            const int green = a[1] + a[5] + b[1] + b[5];
            const int red = a[2] + a[6] + b[2] + b[6];
            constexpr int kOffset = (128 << 16) + (1 << 15);
            u[x] = static_cast<uint8_t>((kUr * red + kUg * green + kUb * blue + kOffset) >> 16);
            v[x] = static_cast<uint8_t>((kVr * red + kVg * green + kVb * blue + kOffset) >> 16);
        }
    }
}

}  // namespace tessera
