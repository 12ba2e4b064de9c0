#include "camera/effects/CameraEffectsProcessor.h"

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <string>
#include <utility>
#include <vector>

#include "camera/effects/BackgroundReplacer.h"
#include "camera/effects/EffectGeometry.h"
#include "camera/effects/FaceDetector.h"
#include "camera/effects/FaceFraming.h"
#include "camera/effects/ImageOps.h"
#include "camera/effects/ModelFiles.h"
#include "camera/effects/PictureCache.h"
#include "camera/effects/SkinSmoothing.h"
#include "support/Log.h"

namespace tessera {

using effects::FrameCadence;

bool anyEffectOn(const CameraEffectSettings& settings) {
    return !settings.isIdentity();
}

struct CameraEffectsProcessor::State {
    explicit State(std::filesystem::path directory)
        : modelDirectory(std::move(directory)), background(modelDirectory) {}

    std::filesystem::path modelDirectory;
    std::optional<effects::FaceDetector> faceDetector;  // loaded on first use
    FrameCadence faceScan{12};
    std::vector<Rect> cachedFaces;  // normalized, bottom-left origin
    effects::ExposureEasing exposure;
    effects::FaceFraming framing;
    effects::PictureCache pictures;
    effects::BackgroundReplacer background;
    bool warnedFormat = false;
    // Output buffers of the stages, reused while the caller does not hold them.
    effects::ReusableFrame litFrame;
    effects::ReusableFrame smoothedFrame;
    effects::ReusableFrame framedFrame;
    effects::ReusableFrame copiedFrame;
    struct ScaledProfile {
        std::string path;
        cv::Mat scaled;
    };
    std::optional<ScaledProfile> scaledProfile;

    void refreshFacesIfNeeded(const cv::Mat& raw) {
        if (!faceScan.tick()) {
            return;
        }
        if (!faceDetector) {
            faceDetector.emplace(modelDirectory);
        }
        // A failed scan keeps the faces of the last one.
        if (auto faces = faceDetector->detect(raw)) {
            cachedFaces = std::move(*faces);
        }
    }

    cv::Mat autoLight(const cv::Mat& image, bool useFaceMetering) {
        const Rect extent(0, 0, image.cols, image.rows);
        const double ev = exposure.advance([&] {
            const auto face =
                useFaceMetering ? effects::largestFace(cachedFaces, extent) : std::nullopt;
            return effects::measuredLuma(image, effects::meteringRegion(face, extent));
        });
        constexpr double kShadowAmount = 0.3;
        return effects::adjustExposure(image, effects::exposureApplies(ev) ? ev : 0, kShadowAmount,
                                       litFrame.take(image.size(), image.type()));
    }

    cv::Mat frameOnFace(const cv::Mat& image) {
        const Rect extent(0, 0, image.cols, image.rows);
        const auto crop = framing.advance(effects::largestFace(cachedFaces, extent), extent);
        if (!crop || !(crop->width() > 1) || !(crop->height() > 1)) {
            return image;
        }
        // Cut at whole pixels: resizing a pixel rectangle costs less than half of a
        // sub-pixel warp; the crop then moves in steps of one camera pixel.
        const cv::Rect pixels =
            effects::pixelRect(Rect(std::round(crop->minX()), std::round(crop->minY()),
                                    std::round(crop->width()), std::round(crop->height())),
                               image.size());
        if (pixels.width < 2 || pixels.height < 2) {
            return image;
        }
        cv::Mat out = framedFrame.take(image.size(), image.type());
        cv::resize(image(pixels), out, image.size(), 0, 0, cv::INTER_LINEAR);
        return out;
    }
};

CameraEffectsProcessor::CameraEffectsProcessor(std::filesystem::path modelDirectory)
    : state_(std::make_unique<State>(std::move(modelDirectory))) {}

CameraEffectsProcessor::~CameraEffectsProcessor() = default;

std::optional<cv::Mat> CameraEffectsProcessor::process(const cv::Mat& bgra,
                                                       const CameraEffectSettings& settings,
                                                       double hostSeconds) {
    if (settings.isIdentity() || bgra.cols <= 0 || bgra.rows <= 0) {
        return std::nullopt;
    }
    State& s = *state_;
    if (bgra.type() != CV_8UC4) {
        if (!s.warnedFormat) {
            logging::warning(effects::kComponent, "frames that are not 8-bit BGRA pass unchanged");
            s.warnedFormat = true;
        }
        return std::nullopt;
    }
    if (settings.showProfile && settings.profileImagePath && !settings.profileImagePath->empty()) {
        const auto picture = s.pictures.load(settings.profileImagePath);
        if (!picture) {
            return std::nullopt;
        }
        const std::string& path = *settings.profileImagePath;
        if (!s.scaledProfile || s.scaledProfile->path != path ||
            s.scaledProfile->scaled.size() != bgra.size()) {
            s.scaledProfile =
                State::ScaledProfile{path, effects::scaleToFill(*picture, bgra.size())};
        }
        cv::Mat out = s.copiedFrame.take(bgra.size(), CV_8UC4);
        s.scaledProfile->scaled.copyTo(out);
        return out;
    }

    const bool smoothing = settings.faceSmoothing > 0.001;
    if (smoothing || settings.keepFaceCentered) {
        s.refreshFacesIfNeeded(bgra);
    }
    const cv::Mat lit =
        settings.autoLighting ? s.autoLight(bgra, smoothing || settings.keepFaceCentered) : bgra;
    cv::Mat image = lit;
    if (smoothing) {
        image = effects::smoothFaces(lit, s.cachedFaces, settings.faceSmoothing,
                                     s.smoothedFrame.take(lit.size(), lit.type()));
    }
    if (settings.background != CameraBackgroundMode::none) {
        image = s.background.apply(image, lit, bgra, settings, hostSeconds, s.pictures);
    }
    if (settings.keepFaceCentered) {
        image = s.frameOnFace(image);
    }
    // The result is always a frame of its own, never the caller's.
    if (image.data == bgra.data) {
        cv::Mat copy = s.copiedFrame.take(bgra.size(), bgra.type());
        bgra.copyTo(copy);
        image = copy;
    }
    return image;
}

}  // namespace tessera
