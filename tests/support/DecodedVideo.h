#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

namespace tessera::testing {

struct Rgb {
    int red = 0;
    int green = 0;
    int blue = 0;
};

// One decoded picture of an 8-bit 4:2:0 video, valid only during the visit.
class DecodedFrame {
  public:
    DecodedFrame(const std::uint8_t* const planes[3], const int strides[3], int width, int height,
                 double seconds)
        : planes_{planes[0], planes[1], planes[2]},
          strides_{strides[0], strides[1], strides[2]},
          width_(width),
          height_(height),
          seconds_(seconds) {}

    int width() const { return width_; }
    int height() const { return height_; }
    // Presentation time.
    double seconds() const { return seconds_; }
    // The colour at (x, y) through the BT.709 limited-range matrix the
    // recorder tags its video with.
    Rgb at(int x, int y) const;

  private:
    const std::uint8_t* planes_[3];
    int strides_[3];
    int width_;
    int height_;
    double seconds_;
};

// Decodes every frame of the first video stream of `file` with libavcodec and
// shows each, in presentation order, to `visit`; returns how many there were.
// Throws std::runtime_error when the file cannot be read or is not 8-bit
// 4:2:0.
int forEachVideoFrame(const std::filesystem::path& file,
                      const std::function<void(const DecodedFrame&)>& visit);

}  // namespace tessera::testing
