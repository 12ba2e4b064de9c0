#pragma once

// Turns the bytes of one camera frame (MJPEG or packed YUYV) into a BGRA video
// sample. No device: the capture thread hands it what the driver filled.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "media/MediaSample.h"
#include "platform/x11/FramePainting.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace tessera {

enum class CameraPixelFormat { mjpeg, yuyv422 };

// Decodes with libavcodec (MJPEG) and converts with libswscale. JPEG pictures
// are full-range BT.601 (YUVJ); YUYV from a camera is limited-range BT.601.
// The output keeps the picture's own size (for MJPEG the size in the JPEG,
// which a driver may not have told truthfully). Output buffers are recycled
// once every sample that shared them is gone. One thread at a time.
class CameraFrameDecoder {
  public:
    // `width` × `height` is the negotiated picture size; `bytesPerLine` is the
    // row stride of YUYV data (0: exactly width × 2). Throws RecorderError when
    // the size is not positive or the decoder cannot be set up.
    CameraFrameDecoder(CameraPixelFormat format, int width, int height, int bytesPerLine = 0);
    ~CameraFrameDecoder();
    CameraFrameDecoder(const CameraFrameDecoder&) = delete;
    CameraFrameDecoder& operator=(const CameraFrameDecoder&) = delete;

    CameraPixelFormat format() const { return format_; }

    // One frame as an opaque BGRA sample with the given timing. Throws
    // RecorderError when the bytes are not a whole picture of the format (a
    // short YUYV buffer, a damaged or truncated JPEG); the decoder stays usable.
    VideoSample decode(const std::uint8_t* data, std::size_t size, const SampleTiming& timing);

  private:
    struct Free {
        void operator()(AVCodecContext* context) const;
        void operator()(AVFrame* frame) const;
        void operator()(AVPacket* packet) const;
        void operator()(SwsContext* context) const;
    };

    std::shared_ptr<PixelBuffer> convertYuyv(const std::uint8_t* data, std::size_t size);
    std::shared_ptr<PixelBuffer> decodeJpeg(const std::uint8_t* data, std::size_t size);
    // Converts planes of `sourceFormat` (an AVPixelFormat) to a new BGRA buffer.
    std::shared_ptr<PixelBuffer> toBgra(const std::uint8_t* const planes[], const int strides[],
                                        int sourceFormat, bool fullRange, int width, int height);

    CameraPixelFormat format_;
    int width_;
    int height_;
    int bytesPerLine_;
    std::unique_ptr<AVCodecContext, Free> codec_;
    std::unique_ptr<AVFrame, Free> frame_;
    std::unique_ptr<AVPacket, Free> packet_;
    std::unique_ptr<SwsContext, Free> scaler_;
    // The source the scaler was made for.
    int scalerFormat_ = -1;
    bool scalerFullRange_ = false;
    int scalerWidth_ = 0;
    int scalerHeight_ = 0;
    FrameBufferPool pool_;
};

}  // namespace tessera
