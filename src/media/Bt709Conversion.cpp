#include "media/Bt709Conversion.h"

#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSERA_HAVE_AVX2_PATH 1
#endif

namespace tessera {

namespace {

// Y = 16 + 219/255 (0.2126 R + 0.7152 G + 0.0722 B) in 8 fractional bits (at
// most 0.9 off); small enough for 16-bit lanes.
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
constexpr int kChromaOffset = (128 << 16) + (1 << 15);

struct RowPair {
    const uint8_t* top;
    const uint8_t* bottom;
    uint8_t* yTop;
    uint8_t* yBottom;
    uint8_t* u;
    uint8_t* v;
};

RowPair rowPair(const uint8_t* source, int sourceStride, const Yuv420Planes& target, int row) {
    const uint8_t* top = source + static_cast<ptrdiff_t>(row) * sourceStride;
    uint8_t* yTop = target.y + static_cast<ptrdiff_t>(row) * target.yStride;
    return {top,
            top + sourceStride,
            yTop,
            yTop + target.yStride,
            target.u + static_cast<ptrdiff_t>(row / 2) * target.uStride,
            target.v + static_cast<ptrdiff_t>(row / 2) * target.vStride};
}

inline uint8_t luma(const uint8_t* p) {
    return static_cast<uint8_t>(((kYr * p[2] + kYg * p[1] + kYb * p[0] + 128) >> 8) + 16);
}

// Pixels [from, width) of a row pair; from is even. Written for the vectoriser
// (the file is built with -O3).
void convertRows(const RowPair& rows, int from, int width) {
    const uint8_t* __restrict top = rows.top;
    const uint8_t* __restrict bottom = rows.bottom;
    uint8_t* __restrict yTop = rows.yTop;
    uint8_t* __restrict yBottom = rows.yBottom;
    uint8_t* __restrict u = rows.u;
    uint8_t* __restrict v = rows.v;
    for (int x = from; x < width; ++x) {
        yTop[x] = luma(top + 4 * x);
        yBottom[x] = luma(bottom + 4 * x);
    }
    for (int x = from / 2; x < width / 2; ++x) {
        const uint8_t* a = top + 8 * x;
        const uint8_t* b = bottom + 8 * x;
        const int blue = a[0] + a[4] + b[0] + b[4];
        const int green = a[1] + a[5] + b[1] + b[5];
        const int red = a[2] + a[6] + b[2] + b[6];
        u[x] = static_cast<uint8_t>((kUr * red + kUg * green + kUb * blue + kChromaOffset) >> 16);
        v[x] = static_cast<uint8_t>((kVr * red + kVg * green + kVb * blue + kChromaOffset) >> 16);
    }
}

#ifdef TESSERA_HAVE_AVX2_PATH

// Luma of 16 pixels given as pixels 0-3 and 8-11 in `first` and 4-7 and
// 12-15 in `second` (that order makes the lane-wise adds come out in order).
// The pixels are made signed by subtracting 128, which maddubs needs and the
// 110 added back (128 x 220 / 256) undoes exactly.
__attribute__((target("avx2"))) __m128i lumaOf16(__m256i first, __m256i second) {
    const __m256i coefficients = _mm256_set1_epi32(kYb | (kYg << 8) | (kYr << 16));
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i a = _mm256_maddubs_epi16(coefficients, _mm256_xor_si256(first, flip));
    const __m256i b = _mm256_maddubs_epi16(coefficients, _mm256_xor_si256(second, flip));
    __m256i y = _mm256_hadd_epi16(a, b);
    y = _mm256_srai_epi16(_mm256_add_epi16(y, _mm256_set1_epi16(128)), 8);
    y = _mm256_add_epi16(y, _mm256_set1_epi16(16 + 110));
    y = _mm256_packus_epi16(y, y);
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(y, 0x08));
}

__attribute__((target("avx2"))) __m256i load(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Per chroma sample of 8 pixels of two rows: the 16-bit sums B, G, R, X of
// its 2x2 block.
__attribute__((target("avx2"))) __m256i blockSums(__m256i top, __m256i bottom) {
    // Each channel of a pixel pair side by side: B0 B1 G0 G1 R0 R1 X0 X1.
    const __m256i pairUp = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0,
                                            4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m256i ones = _mm256_set1_epi8(1);
    return _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_shuffle_epi8(top, pairUp), ones),
                            _mm256_maddubs_epi16(_mm256_shuffle_epi8(bottom, pairUp), ones));
}

__attribute__((target("avx2"))) __m256i chromaOf8(__m256i first, __m256i second,
                                                  __m256i coefficients) {
    const __m256i sums = _mm256_hadd_epi32(_mm256_madd_epi16(first, coefficients),
                                           _mm256_madd_epi16(second, coefficients));
    return _mm256_srai_epi32(_mm256_add_epi32(sums, _mm256_set1_epi32(kChromaOffset)), 16);
}

__attribute__((target("avx2"))) void convertAvx2(const uint8_t* source, int sourceStride, int width,
                                                 int height, const Yuv420Planes& target) {
    const __m256i uCoefficients =
        _mm256_setr_epi16(kUb, kUg, kUr, 0, kUb, kUg, kUr, 0, kUb, kUg, kUr, 0, kUb, kUg, kUr, 0);
    const __m256i vCoefficients =
        _mm256_setr_epi16(kVb, kVg, kVr, 0, kVb, kVg, kVr, 0, kVb, kVg, kVr, 0, kVb, kVg, kVr, 0);
    const __m256i uThenV = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const int blocks = width / 16 * 16;
    for (int row = 0; row + 1 < height; row += 2) {
        const RowPair rows = rowPair(source, sourceStride, target, row);
        for (int x = 0; x < blocks; x += 16) {
            const __m256i topA = load(rows.top + 4 * x);
            const __m256i topB = load(rows.top + 4 * x + 32);
            const __m256i bottomA = load(rows.bottom + 4 * x);
            const __m256i bottomB = load(rows.bottom + 4 * x + 32);
            const __m256i top0 = _mm256_permute2x128_si256(topA, topB, 0x20);
            const __m256i top1 = _mm256_permute2x128_si256(topA, topB, 0x31);
            const __m256i bottom0 = _mm256_permute2x128_si256(bottomA, bottomB, 0x20);
            const __m256i bottom1 = _mm256_permute2x128_si256(bottomA, bottomB, 0x31);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.yTop + x), lumaOf16(top0, top1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.yBottom + x),
                             lumaOf16(bottom0, bottom1));
            const __m256i sums0 = blockSums(top0, bottom0);
            const __m256i sums1 = blockSums(top1, bottom1);
            __m256i uv = _mm256_packs_epi32(chromaOf8(sums0, sums1, uCoefficients),
                                            chromaOf8(sums0, sums1, vCoefficients));
            uv = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(uv, uv), uThenV);
            const __m128i both = _mm256_castsi256_si128(uv);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(rows.u + x / 2), both);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(rows.v + x / 2), _mm_srli_si128(both, 8));
        }
        convertRows(rows, blocks, width);
    }
}

#endif

}  // namespace

void convertBgrxToYuv420Bt709(const uint8_t* source, int sourceStride, int width, int height,
                              const Yuv420Planes& target) {
#ifdef TESSERA_HAVE_AVX2_PATH
    if (detail::conversionUsesAvx2()) {
        convertAvx2(source, sourceStride, width, height, target);
        return;
    }
#endif
    detail::convertBgrxToYuv420Bt709Portable(source, sourceStride, width, height, target);
}

namespace detail {

void convertBgrxToYuv420Bt709Portable(const uint8_t* source, int sourceStride, int width,
                                      int height, const Yuv420Planes& target) {
    for (int row = 0; row + 1 < height; row += 2) {
        convertRows(rowPair(source, sourceStride, target, row), 0, width);
    }
}

bool conversionUsesAvx2() {
#ifdef TESSERA_HAVE_AVX2_PATH
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#else
    return false;
#endif
}

}  // namespace detail

}  // namespace tessera
