#pragma once

namespace tessera {

// An sRGB colour with straight (not premultiplied) alpha, each channel in [0, 1].
struct RgbaColor {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;

    friend bool operator==(const RgbaColor&, const RgbaColor&) = default;
};

}  // namespace tessera
