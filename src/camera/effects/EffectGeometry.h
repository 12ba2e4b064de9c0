#pragma once

#include <optional>
#include <vector>

#include "support/Geometry.h"

// The frame arithmetic of the camera effects, free of images: crop windows for
// keeping a face framed, the light meter, and the skin-smoothing mask radii.
// Rectangles are in frame pixels with the origin at the bottom-left corner and
// y upward; faces are kept normalized to 0...1 in the same orientation.
namespace tessera::effects {

// Counts frames between two runs of a periodic measurement: the first tick runs,
// then every (interval + 1)th tick.
class FrameCadence {
  public:
    explicit FrameCadence(int interval) : interval_(interval), framesSince_(interval) {}

    // True when this frame runs the measurement.
    bool tick() {
        if (framesSince_ >= interval_) {
            framesSince_ = 0;
            return true;
        }
        ++framesSince_;
        return false;
    }

  private:
    int interval_;
    int framesSince_;
};

// The intersection of two rectangles; an empty rectangle at a's origin when they
// do not overlap.
Rect intersection(const Rect& a, const Rect& b);

// The largest cached face (normalized) mapped into `extent`; on equal areas the
// earlier face wins. Nothing without faces.
std::optional<Rect> largestFace(const std::vector<Rect>& normalizedFaces, const Rect& extent);

// The crop window that frames `face` in `extent`: the extent's aspect, the face at
// most 26 % of its height, never shorter than two thirds of the frame, the face's
// centre 6 % of the crop height above the crop's centre, kept inside the extent.
Rect frameTarget(const Rect& face, const Rect& extent);

// One step of the crop's motion: 12 % of the way toward the target; snaps to the
// target when origin and width are within half a pixel.
Rect easedFrame(const Rect& from, const Rect& toward);

// Where the light meter looks: the face grown by 30 % of its size on every side,
// or, without a face, the central 60 % x 60 % of the frame; inside the extent.
Rect meteringRegion(const std::optional<Rect>& face, const Rect& extent);

// The exposure correction (EV stops) that brings a measured luma toward 0.48,
// damped by 0.85 and kept within -1.2...+1.6; a dark or unusable measurement asks
// for the full +1.6.
double targetExposure(double luma);

// Automatic exposure: measures every 7th frame (the first frame measures) and eases
// the applied correction 6 % of the way toward the target on every frame.
class ExposureEasing {
  public:
    // Advances one frame. `meter` is called only on frames that measure; it returns
    // the measured luma, or nothing (the target then stays). Returns the EV to apply.
    template <typename Meter>
    double advance(Meter&& meter) {
        if (cadence_.tick()) {
            if (const std::optional<double> luma = meter()) {
                targetEV_ = targetExposure(*luma);
            }
        }
        ease();
        return currentEV_;
    }

    double currentEV() const { return currentEV_; }
    double targetEV() const { return targetEV_; }

  private:
    void ease();

    FrameCadence cadence_{6};
    double currentEV_ = 0;
    double targetEV_ = 0;
};

// True when an exposure correction is large enough to apply.
inline bool exposureApplies(double ev) {
    return ev > 0.02 || ev < -0.02;
}

// The radial gradient that softens one face: full strength inside `inner`, fading
// to nothing at `outer`, centred on the face.
struct FaceMaskCircle {
    Point center;
    double inner = 0;
    double outer = 0;
};
FaceMaskCircle faceMaskCircle(const Rect& facePixels);

// Gaussian sigmas of the face softening and the background blur, in frame pixels.
inline double smoothingSigma(double strength) {
    return 5 * strength + 2;
}
inline double backgroundBlurSigma(double blurStrength) {
    return 34 * blurStrength + 6;
}

}  // namespace tessera::effects
