#include "platform/v4l2/V4l2CameraSource.h"

#include <errno.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "platform/v4l2/CameraFormatChoice.h"
#include "platform/v4l2/CameraFrameDecoder.h"
#include "platform/v4l2/V4l2CameraStream.h"

namespace tessera {

namespace fs = std::filesystem;

namespace {

constexpr int kFramesPerSecond = 30;
// Enough for the driver to keep filling while one frame is being decoded; a
// frame that finds no free buffer is dropped by the driver, never queued.
constexpr int kBufferCount = 4;

// N of a "video<N>" name, or nothing for any other name.
std::optional<unsigned long> videoNodeNumber(const std::string& name) {
    constexpr std::string_view kPrefix = "video";
    if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0 ||
        name.size() > kPrefix.size() + 9) {
        return std::nullopt;
    }
    const std::string digits = name.substr(kPrefix.size());
    if (!std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return std::nullopt;
    }
    return std::stoul(digits);
}

std::optional<fs::path> canonicalPath(const fs::path& path) {
    std::error_code error;
    fs::path resolved = fs::canonical(path, error);
    if (error) {
        return std::nullopt;
    }
    return resolved;
}

// The by-id links, keyed by the node each resolves to; the first link in name
// order wins when several point at one node.
std::map<fs::path, std::string> stableLinks(const fs::path& directory) {
    std::vector<fs::path> links;
    std::error_code error;
    for (fs::directory_iterator it(directory / "v4l" / "by-id", error), end; !error && it != end;
         it.increment(error)) {
        links.push_back(it->path());
    }
    std::sort(links.begin(), links.end());
    std::map<fs::path, std::string> byNode;
    for (const fs::path& link : links) {
        if (auto node = canonicalPath(link)) {
            byNode.emplace(*node, link.string());
        }
    }
    return byNode;
}

RecorderError cannotBeUsed(const std::string& name) {
    return RecorderError("Camera " + name + " can't be used");
}

RecorderError accessDenied() {
    return RecorderError(
        "Camera access was denied. Turn the camera toggle off or grant access: membership of "
        "the \"video\" group grants access to the camera.");
}

bool isPermissionError(int code) {
    return code == EACCES || code == EPERM;
}

// The first line of a small sysfs attribute file; nothing when unreadable.
std::optional<std::string> sysfsAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
        line.pop_back();
    }
    return line;
}

}  // namespace

V4l2CameraSource::V4l2CameraSource(std::string deviceDirectory)
    : V4l2CameraSource(std::move(deviceDirectory), std::make_shared<SystemV4l2Opener>(),
                       std::make_shared<SystemHostClock>()) {}

V4l2CameraSource::V4l2CameraSource(std::string deviceDirectory, std::shared_ptr<V4l2Opener> opener,
                                   std::shared_ptr<const HostClock> clock,
                                   std::string sysfsDirectory)
    : deviceDirectory_(std::move(deviceDirectory)),
      opener_(std::move(opener)),
      clock_(std::move(clock)),
      sysfsDirectory_(std::move(sysfsDirectory)) {}

std::vector<CaptureDeviceOption> V4l2CameraSource::devices() {
    std::vector<CaptureDeviceOption> options;
    for (Camera& camera : listCameras()) {
        options.push_back(std::move(camera.option));
    }
    return options;
}

std::vector<V4l2CameraSource::Camera> V4l2CameraSource::listCameras() {
    const fs::path directory(deviceDirectory_);
    std::vector<std::pair<unsigned long, fs::path>> nodes;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        if (auto number = videoNodeNumber(it->path().filename().string())) {
            nodes.emplace_back(*number, it->path());
        }
    }
    std::sort(nodes.begin(), nodes.end());
    const std::map<fs::path, std::string> links = stableLinks(directory);

    std::vector<Camera> cameras;
    for (const auto& [number, node] : nodes) {
        V4l2Capabilities capabilities;
        bool accessDenied = false;
        try {
            capabilities = opener_->open(node.string())->capabilities();
        } catch (const V4l2Error& e) {
            if (!isPermissionError(e.code())) {
                continue;  // busy or not a video device: not offered
            }
            // Only sysfs can tell what it is: a device's further nodes
            // (metadata) have a non-zero index.
            const fs::path about = fs::path(sysfsDirectory_) / node.filename();
            if (sysfsAttribute(about / "index").value_or("0") != "0") {
                continue;
            }
            accessDenied = true;
            capabilities.card = sysfsAttribute(about / "name").value_or("");
            capabilities.videoCapture = true;
        }
        if (!capabilities.videoCapture) {
            continue;
        }
        Camera camera;
        camera.nodePath = node.string();
        camera.accessDenied = accessDenied;
        camera.option.name =
            capabilities.card.empty() ? node.filename().string() : capabilities.card;
        camera.option.id = camera.nodePath;
        if (auto resolved = canonicalPath(node)) {
            if (auto link = links.find(*resolved); link != links.end()) {
                camera.option.id = link->second;
            }
        }
        cameras.push_back(std::move(camera));
    }
    return cameras;
}

const V4l2CameraSource::Camera* V4l2CameraSource::find(const std::vector<Camera>& cameras,
                                                       const std::string& deviceID) {
    for (const Camera& camera : cameras) {
        if (camera.option.id == deviceID) {
            return &camera;
        }
    }
    const auto wanted = canonicalPath(deviceID);
    if (!wanted) {
        return nullptr;
    }
    for (const Camera& camera : cameras) {
        if (canonicalPath(camera.nodePath) == wanted) {
            return &camera;
        }
    }
    return nullptr;
}

std::unique_ptr<CameraStream> V4l2CameraSource::startCamera(const std::string& deviceID,
                                                            CameraStreamHandlers handlers) {
    const std::vector<Camera> cameras = listCameras();
    const Camera* camera =
        deviceID.empty() ? (cameras.empty() ? nullptr : &cameras.front()) : find(cameras, deviceID);
    if (!camera) {
        throw RecorderError("No camera available");
    }
    const std::string& name = camera->option.name;
    if (camera->accessDenied) {
        throw accessDenied();
    }

    std::unique_ptr<V4l2Device> device;
    std::vector<std::uint32_t> formats;
    try {
        device = opener_->open(camera->nodePath);
        const V4l2Capabilities capabilities = device->capabilities();
        if (!capabilities.videoCapture || !capabilities.streaming) {
            throw cannotBeUsed(name);
        }
        formats = preferredPixelFormats(device->pixelFormats());
    } catch (const V4l2Error& e) {
        throw isPermissionError(e.code()) ? accessDenied() : cannotBeUsed(name);
    }

    std::optional<V4l2Format> format;
    for (std::uint32_t candidate : formats) {
        try {
            std::vector<V4l2FrameSizes> sizes;
            try {
                sizes = device->frameSizes(candidate);
            } catch (const V4l2Error&) {
                // Without a size list the driver adjusts the request itself.
            }
            const PixelSize size = chooseFrameSize(sizes, kCameraMaxSize);
            V4l2Format set = device->setFormat(candidate, size.width, size.height);
            // A driver may answer with another format instead of failing.
            if (set.pixelFormat == candidate && set.width > 0 && set.height > 0) {
                format = set;
                break;
            }
        } catch (const V4l2Error& e) {
            if (e.code() == EBUSY || e.code() == ENODEV) {
                // Another program is streaming from it, or it went away.
                throw cannotBeUsed(name);
            }
        }
    }
    if (!format) {
        throw RecorderError("Camera output can't be added");
    }

    const auto interval = device->setFrameRate(kFramesPerSecond);
    const bool usableInterval = interval && interval->second <= INT32_MAX;
    const MediaTime frameDuration =
        usableInterval ? MediaTime(interval->first, static_cast<int32_t>(interval->second))
                       : MediaTime(1, kFramesPerSecond);
    const CameraPixelFormat pixelFormat = format->pixelFormat == kPixelFormatMjpeg
                                              ? CameraPixelFormat::mjpeg
                                              : CameraPixelFormat::yuyv422;
    std::unique_ptr<CameraFrameDecoder> decoder;
    try {
        decoder = std::make_unique<CameraFrameDecoder>(pixelFormat, format->width, format->height,
                                                       format->bytesPerLine);
        device->startStreaming(kBufferCount);
    } catch (const V4l2Error&) {
        throw cannotBeUsed(name);
    } catch (const RecorderError&) {
        throw cannotBeUsed(name);
    }
    return std::make_unique<V4l2CameraStream>(std::move(device), std::move(decoder), clock_,
                                              frameDuration, name, std::move(handlers));
}

}  // namespace tessera
