#include "ScreenContent.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>

namespace tessera::bench {
namespace {

struct Colour {
    uint8_t b, g, r;
};

void put(uint8_t* p, Colour c) {
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
    p[3] = 255;
}

struct Rect {
    int x, y, w, h;
};

void fill(PixelBuffer& image, Rect r, Colour c) {
    for (int y = r.y; y < r.y + r.h; ++y) {
        uint8_t* row = image.row(y) + static_cast<size_t>(r.x) * 4;
        for (int x = 0; x < r.w; ++x) {
            put(row + 4 * x, c);
        }
    }
}

// Glyph-like marks: each a few strokes (stems, bars, diagonals, dots) drawn at three
// times the size and averaged down, so that edges carry the grey levels of
// anti-aliased type.
class Glyphs {
  public:
    Glyphs(int cellWidth, int cellHeight, std::mt19937& rng)
        : width_(cellWidth), height_(cellHeight) {
        for (int g = 0; g < kCount; ++g) {
            masks_.push_back(makeGlyph(rng));
        }
    }
    int width() const { return width_; }
    int height() const { return height_; }
    // Coverage 0..255 of pixel (x, y) of glyph g.
    uint8_t at(int g, int x, int y) const { return masks_[g][y * width_ + x]; }
    static constexpr int kCount = 48;

  private:
    std::vector<uint8_t> makeGlyph(std::mt19937& rng) {
        constexpr int kSuper = 3;
        const int w = width_ * kSuper, h = height_ * kSuper;
        std::vector<uint8_t> big(static_cast<size_t>(w * h));
        const int thick = std::max(kSuper, static_cast<int>(std::lround(height_ * 0.09 * kSuper)));
        const int left = w / 8, right = w - w / 4, top = h / 5, base = h - h / 4;
        const int mid = (top + base) / 2, xMid = (left + right) / 2;
        auto line = [&](int x0, int y0, int x1, int y1) {
            const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0)) + 1;
            for (int i = 0; i <= steps; ++i) {
                const int cx = x0 + (x1 - x0) * i / steps, cy = y0 + (y1 - y0) * i / steps;
                for (int dy = 0; dy < thick; ++dy) {
                    for (int dx = 0; dx < thick; ++dx) {
                        const int x = std::clamp(cx + dx, 0, w - 1);
                        const int y = std::clamp(cy + dy, 0, h - 1);
                        big[static_cast<size_t>(y * w + x)] = 1;
                    }
                }
            }
        };
        const int tall = rng() % 3 == 0 ? h / 12 : mid;  // ascender or x-height
        const int strokes = 2 + static_cast<int>(rng() % 3);
        for (int s = 0; s < strokes; ++s) {
            switch (rng() % 9) {
                case 0:
                    line(left, tall, left, base);
                    break;
                case 1:
                    line(right, mid, right, base);
                    break;
                case 2:
                    line(left, mid, right, mid);
                    break;
                case 3:
                    line(left, base, right, base);
                    break;
                case 4:
                    line(left, base, right, mid);
                    break;
                case 5:
                    line(xMid, tall, xMid, base);
                    break;
                case 6:
                    line(left, mid, right, base);
                    break;
                case 7:
                    line(right, base, right, h - 2);
                    break;  // descender
                default:
                    line(xMid, top - thick, xMid, top);
                    break;  // dot
            }
        }
        std::vector<uint8_t> mask(static_cast<size_t>(width_ * height_));
        for (int y = 0; y < height_; ++y) {
            for (int x = 0; x < width_; ++x) {
                int sum = 0;
                for (int dy = 0; dy < kSuper; ++dy) {
                    for (int dx = 0; dx < kSuper; ++dx) {
                        sum += big[static_cast<size_t>((y * kSuper + dy) * w + x * kSuper + dx)];
                    }
                }
                mask[static_cast<size_t>(y * width_ + x)] =
                    static_cast<uint8_t>(sum * 255 / (kSuper * kSuper));
            }
        }
        return mask;
    }

    int width_, height_;
    std::vector<std::vector<uint8_t>> masks_;
};

// An editor page: indented lines of words, some of them coloured as in syntax
// highlighting, on white. Its rows wrap around, so scrolling through a whole page
// height comes back to the start without a jump.
std::shared_ptr<PixelBuffer> textPage(int width, int pageHeight, double scale, std::mt19937& rng) {
    auto page = PixelBuffer::make(width, pageHeight);
    fill(*page, {0, 0, width, pageHeight}, {250, 250, 250});
    const Glyphs glyphs(std::max(5, static_cast<int>(std::lround(9 * scale))),
                        std::max(9, static_cast<int>(std::lround(17 * scale))), rng);
    const int lineHeight = glyphs.height() + std::max(3, static_cast<int>(std::lround(5 * scale)));
    const Colour inks[] = {{40, 40, 40},  {40, 40, 40},   {40, 40, 40}, {200, 90, 30},
                           {50, 140, 40}, {160, 40, 150}, {40, 40, 190}};
    const int margin = glyphs.width() * 2;
    for (int top = 0; top + lineHeight <= pageHeight; top += lineHeight) {
        if (rng() % 7 == 0) {
            continue;  // a blank line
        }
        int x = margin + glyphs.width() * 4 * static_cast<int>(rng() % 4);
        const int end =
            margin + static_cast<int>(rng() % static_cast<unsigned>(width - 2 * margin));
        while (x < end) {
            const int letters = 2 + static_cast<int>(rng() % 8);
            const Colour ink = inks[rng() % std::size(inks)];
            for (int l = 0; l < letters && x + glyphs.width() < width; ++l, x += glyphs.width()) {
                const int g = static_cast<int>(rng() % Glyphs::kCount);
                for (int gy = 0; gy < glyphs.height(); ++gy) {
                    uint8_t* row = page->row(top + gy) + static_cast<size_t>(x) * 4;
                    for (int gx = 0; gx < glyphs.width(); ++gx) {
                        const int a = glyphs.at(g, gx, gy);
                        uint8_t* p = row + 4 * gx;
                        p[0] = static_cast<uint8_t>((p[0] * (255 - a) + ink.b * a) / 255);
                        p[1] = static_cast<uint8_t>((p[1] * (255 - a) + ink.g * a) / 255);
                        p[2] = static_cast<uint8_t>((p[2] * (255 - a) + ink.r * a) / 255);
                    }
                }
            }
            x += glyphs.width();
        }
    }
    return page;
}

// Tileable value noise: a random lattice of `cells` x `cells` values, smoothly
// interpolated over `size` pixels with wrap-around.
std::vector<float> tileableNoise(int size, int cells, std::mt19937& rng) {
    std::uniform_real_distribution<float> uniform(0.f, 1.f);
    std::vector<float> lattice(static_cast<size_t>(cells * cells));
    for (float& v : lattice) {
        v = uniform(rng);
    }
    std::vector<float> out(static_cast<size_t>(size) * size);
    const float step = static_cast<float>(cells) / static_cast<float>(size);
    for (int y = 0; y < size; ++y) {
        const float fy = static_cast<float>(y) * step;
        const int y0 = static_cast<int>(fy) % cells, y1 = (y0 + 1) % cells;
        float ty = fy - std::floor(fy);
        ty = ty * ty * (3 - 2 * ty);
        for (int x = 0; x < size; ++x) {
            const float fx = static_cast<float>(x) * step;
            const int x0 = static_cast<int>(fx) % cells, x1 = (x0 + 1) % cells;
            float tx = fx - std::floor(fx);
            tx = tx * tx * (3 - 2 * tx);
            const float a = lattice[y0 * cells + x0] * (1 - tx) + lattice[y0 * cells + x1] * tx;
            const float b = lattice[y1 * cells + x0] * (1 - tx) + lattice[y1 * cells + x1] * tx;
            out[static_cast<size_t>(y) * size + x] = a * (1 - ty) + b * ty;
        }
    }
    return out;
}

// A landscape seen from above: fractal noise coloured as water, shore, fields,
// rock and snow, with light and shade from a finer octave. Tiles seamlessly.
std::shared_ptr<PixelBuffer> landscape(int size, std::mt19937& rng) {
    std::vector<float> height(static_cast<size_t>(size) * size, 0.f);
    float amplitude = 0.5f, total = 0;
    for (int cells = 4; cells <= size / 4 && cells <= 256; cells *= 2) {
        const auto octave = tileableNoise(size, cells, rng);
        for (size_t i = 0; i < height.size(); ++i) {
            height[i] += amplitude * octave[i];
        }
        total += amplitude;
        amplitude *= 0.55f;
    }
    const auto shade = tileableNoise(size, std::min(size / 2, 128), rng);
    struct Stop {
        float at;
        Colour c;
    };
    const Stop stops[] = {{0.0f, {90, 40, 10}},     {0.42f, {170, 110, 40}},
                          {0.47f, {140, 190, 210}}, {0.52f, {60, 150, 70}},
                          {0.68f, {30, 100, 50}},   {0.80f, {80, 100, 120}},
                          {0.90f, {235, 235, 240}}, {1.0f, {255, 255, 255}}};
    auto image = PixelBuffer::make(size, size);
    for (int y = 0; y < size; ++y) {
        uint8_t* row = image->row(y);
        for (int x = 0; x < size; ++x) {
            const size_t i = static_cast<size_t>(y) * size + x;
            const float h = std::clamp(height[i] / total * 1.3f - 0.15f, 0.f, 1.f);
            size_t s = 1;
            while (s + 1 < std::size(stops) && stops[s].at < h) {
                ++s;
            }
            const Stop& lo = stops[s - 1];
            const Stop& hi = stops[s];
            const float t = std::clamp((h - lo.at) / std::max(hi.at - lo.at, 1e-3f), 0.f, 1.f);
            const float light = 0.75f + 0.5f * shade[i];
            auto mix = [&](uint8_t a, uint8_t b) {
                return static_cast<uint8_t>(std::clamp((a + (b - a) * t) * light, 0.f, 255.f));
            };
            put(row + 4 * x, {mix(lo.c.b, hi.c.b), mix(lo.c.g, hi.c.g), mix(lo.c.r, hi.c.r)});
        }
    }
    return image;
}

uint32_t xorshift(uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

}  // namespace

int ScreenContent::framesWithin(int width, int height, int64_t bytes) {
    const int64_t frame = int64_t{width} * height * 4;
    return static_cast<int>(std::clamp<int64_t>(bytes / frame, 8, 60));
}

ScreenContent::ScreenContent(int width, int height, int frames) {
    std::mt19937 rng(20261206);
    const double scale = height / 1080.0;
    const int panel = std::max(16, static_cast<int>(std::lround(28 * scale)));
    const int titleBar = std::max(14, static_cast<int>(std::lround(30 * scale)));
    const Rect editor{width * 3 / 100, panel + height * 3 / 100, width * 55 / 100,
                      height - panel - height * 6 / 100};
    const Rect editorText{editor.x, editor.y + titleBar, editor.w, editor.h - titleBar};
    const int videoWidth = (width * 36 / 100) & ~1;
    const Rect player{width * 61 / 100, panel + height * 12 / 100, videoWidth,
                      videoWidth * 9 / 16 + titleBar};
    const Rect video{player.x, player.y + titleBar, player.w, player.h - titleBar};

    // The static desktop, drawn once.
    auto desktop = PixelBuffer::make(width, height);
    for (int y = 0; y < height; ++y) {
        const auto t = static_cast<double>(y) / height;
        fill(*desktop, {0, y, width, 1},
             {static_cast<uint8_t>(120 - 50 * t), static_cast<uint8_t>(80 - 30 * t),
              static_cast<uint8_t>(50 + 20 * t)});
    }
    fill(*desktop, {0, 0, width, panel}, {48, 44, 40});
    for (int i = 0; i < 8; ++i) {
        fill(*desktop, {panel / 4 + i * panel * 3 / 2, panel / 4, panel / 2, panel / 2},
             {static_cast<uint8_t>(80 + 20 * i), 160, static_cast<uint8_t>(220 - 15 * i)});
    }
    for (const Rect& window : {editor, player}) {
        fill(*desktop, {window.x, window.y, window.w, titleBar}, {225, 222, 220});
        fill(*desktop,
             {window.x + titleBar / 3, window.y + titleBar / 3, titleBar / 3, titleBar / 3},
             {80, 80, 220});
    }

    // Text scrolls up `scroll` rows a frame; its page is as tall as the whole loop.
    const int scroll = std::max(2, static_cast<int>(std::lround(4 * scale)));
    const int pageHeight = scroll * frames;
    const auto page = textPage(editorText.w, pageHeight, scale, rng);
    // The video pans across its tile once per loop and bobs up and down.
    int tile = 256;
    while (tile < std::max(video.w, video.h) * 5 / 4) {
        tile *= 2;
    }
    const auto land = landscape(tile, rng);
    uint32_t grain = 0x9e3779b9u;

    for (int k = 0; k < frames; ++k) {
        auto image = PixelBuffer::make(width, height);
        std::memcpy(image->data(), desktop->data(), desktop->sizeInBytes());
        for (int y = 0; y < editorText.h; ++y) {
            std::memcpy(image->row(editorText.y + y) + static_cast<size_t>(editorText.x) * 4,
                        page->row((y + k * scroll) % pageHeight), page->bytesPerRow);
        }
        const double phase = 2 * std::numbers::pi * k / frames;
        const int panX = tile * k / frames;
        const int panY = static_cast<int>(tile / 2 + tile / 16 * std::sin(phase));
        // A bright object crosses the picture on a loop of its own.
        const double objectX = video.w * (0.5 + 0.35 * std::sin(phase));
        const double objectY = video.h * (0.5 + 0.3 * std::sin(2 * phase));
        const double radius = video.h / 9.0;
        for (int y = 0; y < video.h; ++y) {
            const uint8_t* src = land->row((y + panY) % tile);
            uint8_t* dst = image->row(video.y + y) + static_cast<size_t>(video.x) * 4;
            for (int x = 0; x < video.w; ++x) {
                const uint8_t* s = src + static_cast<size_t>((x + panX) % tile) * 4;
                const double d = std::hypot(x - objectX, y - objectY) - radius;
                const double object = std::clamp(0.5 - d / 2, 0.0, 1.0) * 0.8;
                const int noise = static_cast<int>(xorshift(grain) % 17) - 8;  // film grain
                for (int c = 0; c < 3; ++c) {
                    const double v = s[c] * (1 - object) + (c == 0 ? 120 : 240) * object + noise;
                    dst[4 * x + c] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
                }
                dst[4 * x + 3] = 255;
            }
        }
        frames_.push_back(std::move(image));
    }
}

std::shared_ptr<const PixelBuffer> ScreenContent::frame(int64_t index) const {
    return frames_[static_cast<size_t>(index % static_cast<int64_t>(frames_.size()))];
}

}  // namespace tessera::bench
