#pragma once

// Screen-like BGRA frames that work a video encoder as a real desktop does: an
// editor window whose text scrolls up a few pixels every frame, beside a window
// playing video (a textured, panning landscape with film grain and a moving
// object), on a static desktop with a panel. All frames are made up front, so a
// benchmark that plays them measures the encoder and not the generator.

#include <cstdint>
#include <memory>
#include <vector>

#include "media/MediaSample.h"

namespace tessera::bench {

class ScreenContent {
  public:
    // `frames` pictures that loop seamlessly: the text scrolls by a whole period of
    // its page and the video pans by a whole period of its texture over the loop.
    ScreenContent(int width, int height, int frames);

    std::shared_ptr<const PixelBuffer> frame(int64_t index) const;
    int frameCount() const { return static_cast<int>(frames_.size()); }

    // How many frames fit in about `bytes` of memory at this size (at least 8, at
    // most 60).
    static int framesWithin(int width, int height, int64_t bytes);

  private:
    std::vector<std::shared_ptr<const PixelBuffer>> frames_;
};

}  // namespace tessera::bench
