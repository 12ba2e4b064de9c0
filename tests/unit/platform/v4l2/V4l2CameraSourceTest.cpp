#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/v4l2/V4l2CameraSource.h"
#include "support/TempDir.h"
#include "unit/platform/v4l2/FakeV4l2Device.h"

namespace tessera {
namespace {

namespace fs = std::filesystem;
using testing::FakeCamera;
using testing::FakeFrame;
using testing::FakeV4l2Opener;

constexpr int kWidth = 64;
constexpr int kHeight = 48;

V4l2FrameSizes discrete(int width, int height) {
    return {true, width, height, width, height, 1, 1};
}

// A temporary device directory holding empty files in place of the nodes.
class DeviceDirectory {
  public:
    std::string node(const std::string& name) {
        std::ofstream(dir_.path() / name).put('\0');
        return (dir_.path() / name).string();
    }
    std::string link(const std::string& name, const std::string& target) {
        fs::create_directories(dir_.path() / "v4l" / "by-id");
        fs::create_symlink("../../" + target, dir_.path() / "v4l" / "by-id" / name);
        return (dir_.path() / "v4l" / "by-id" / name).string();
    }
    std::string path() const { return dir_.path().string(); }
    // What sysfs says of a node: its name and its index within its device.
    void describe(const std::string& node, const std::string& name, int index) {
        fs::create_directories(dir_.path() / "sysfs" / node);
        std::ofstream(dir_.path() / "sysfs" / node / "name") << name << "\n";
        std::ofstream(dir_.path() / "sysfs" / node / "index") << index << "\n";
    }
    std::string sysfs() const { return (dir_.path() / "sysfs").string(); }

  private:
    testing::TempDir dir_;
};

std::string startError(CameraSource& source, const std::string& deviceID) {
    try {
        source.startCamera(deviceID, {});
    } catch (const RecorderError& e) {
        return e.what();
    }
    return "(started)";
}

class V4l2CameraSourceTest : public ::testing::Test {
  protected:
    std::shared_ptr<FakeCamera> addCamera(const std::string& node, const std::string& card) {
        auto camera = opener_->add(dir_.node(node));
        camera->capabilities.card = card;
        camera->sizes[kPixelFormatYuyv] = {discrete(kWidth, kHeight)};
        return camera;
    }
    V4l2CameraSource source() {
        return V4l2CameraSource(dir_.path(), opener_, clock_, dir_.sysfs());
    }

    DeviceDirectory dir_;
    std::shared_ptr<FakeV4l2Opener> opener_ = std::make_shared<FakeV4l2Opener>();
    std::shared_ptr<ManualHostClock> clock_ = std::make_shared<ManualHostClock>();
};

// Capture nodes are listed in number order under their stable ids; cameras the
// user may not open by their sysfs name (once per device). A camera is chosen
// by either id, the first one by default, and one that is gone is not
// replaced by another.
TEST_F(V4l2CameraSourceTest, ListsCaptureNodesAndChoosesOneByIdOrTheDefault) {
    addCamera("video10", "Third Cam");
    auto usb = addCamera("video2", "USB Cam");
    auto integrated = addCamera("video0", "Integrated Camera");
    addCamera("video1", "Integrated Camera")->capabilities.videoCapture = false;  // metadata
    addCamera("video3", "(unread)")->openErrors = {EACCES};
    dir_.describe("video3", "Locked Cam", 0);
    addCamera("video4", "(unread)")->openErrors = {EACCES};
    dir_.describe("video4", "Locked Cam", 1);
    addCamera("video5", "(unread)")->openErrors = {EPERM};
    addCamera("video6", "Busy Cam")->openErrors = {EBUSY};
    addCamera("videoX", "Not A Node");
    const std::string usbLink = dir_.link("usb-Acme_USB_Cam-video-index0", "video2");
    dir_.link("usb-Acme_Integrated-video-index1", "video1");

    const std::vector<CaptureDeviceOption> expected = {
        {dir_.path() + "/video0", "Integrated Camera"}, {usbLink, "USB Cam"},
        {dir_.path() + "/video3", "Locked Cam"},        {dir_.path() + "/video5", "video5"},
        {dir_.path() + "/video10", "Third Cam"},
    };
    auto src = source();
    EXPECT_EQ(src.devices(), expected);

    const std::pair<std::string, std::shared_ptr<FakeCamera>> cases[] = {
        {"", integrated},
        {usbLink, usb},
        {dir_.path() + "/video2", usb},  // the node behind the stable id
        {dir_.path() + "/video1", nullptr},
        {dir_.path() + "/v4l/by-id/usb-Unplugged-video-index0", nullptr},
    };
    for (const auto& [deviceID, expected] : cases) {
        SCOPED_TRACE(deviceID);
        if (!expected) {
            EXPECT_EQ(startError(src, deviceID), "No camera available");
            continue;
        }
        auto stream = src.startCamera(deviceID, {});
        EXPECT_TRUE(expected->streaming);
        EXPECT_EQ(stream->deviceName(), expected->capabilities.card);
        stream.reset();
        EXPECT_FALSE(expected->streaming);
    }
}

TEST_F(V4l2CameraSourceTest, OpeningFailuresAreReportedAsTheUserSeesThem) {
    const char* denied =
        "Camera access was denied. Turn the camera toggle off or grant access: membership of "
        "the \"video\" group grants access to the camera.";
    struct Case {
        const char* what;
        void (*setUp)(FakeCamera&);
        const char* expected;
    } cases[] = {
        {"in use by another program",
         [](FakeCamera& c) { c.setFormatErrors[kPixelFormatYuyv] = EBUSY; },
         "Camera Desk Cam can't be used"},
        {"the driver answers with another format",
         [](FakeCamera& c) { c.substitutedFormat = fourcc('R', 'G', 'B', '3'); },
         "Camera output can't be added"},
        {"the user may not open it",
         [](FakeCamera& c) {
             c.openErrors = {EACCES, EACCES};
         },
         denied},
        {"listed, then refused when opened for capture",
         [](FakeCamera& c) {
             c.openErrors = {0, EACCES};
         },
         denied},
    };
    for (const Case& c : cases) {
        DeviceDirectory dir;
        auto opener = std::make_shared<FakeV4l2Opener>();
        auto camera = opener->add(dir.node("video0"));
        camera->capabilities.card = "Desk Cam";
        c.setUp(*camera);
        V4l2CameraSource src(dir.path(), opener, clock_, dir.sysfs());
        EXPECT_EQ(startError(src, ""), c.expected) << c.what;
        EXPECT_FALSE(camera->streaming) << c.what;
    }
}

// MJPEG first at the largest size up to 720p; a refused MJPEG request falls
// back to YUYV.
TEST_F(V4l2CameraSourceTest, NegotiatesMjpegFirstUpTo720p) {
    auto camera = addCamera("video0", "Cam");
    camera->formats = {kPixelFormatYuyv, kPixelFormatMjpeg};
    camera->sizes[kPixelFormatMjpeg] = {discrete(640, 480), discrete(1920, 1080),
                                        discrete(1280, 720)};
    auto stream = source().startCamera("", {});
    EXPECT_EQ(camera->formatRequests,
              (std::vector<std::pair<std::uint32_t, PixelSize>>{{kPixelFormatMjpeg, {1280, 720}}}));

    auto fallback = addCamera("video1", "Other");
    fallback->formats = {kPixelFormatMjpeg, kPixelFormatYuyv};
    fallback->setFormatErrors[kPixelFormatMjpeg] = EINVAL;
    auto other = source().startCamera(dir_.path() + "/video1", {});
    ASSERT_EQ(fallback->formatRequests.size(), 2u);
    EXPECT_EQ(fallback->formatRequests[1].first, kPixelFormatYuyv);
    EXPECT_TRUE(fallback->streaming);
}

// Collects what the capture thread hands over.
class Collector {
  public:
    CameraStreamHandlers handlers() {
        return {[this](VideoSample sample) {
                    std::lock_guard lock(mutex_);
                    frames_.push_back(std::move(sample));
                    changed_.notify_all();
                },
                [this](const RecorderError& error) {
                    std::lock_guard lock(mutex_);
                    stopped_.push_back(error.what());
                    changed_.notify_all();
                }};
    }
    // The frames once `frames` arrived; the long bound only guards a hang.
    std::vector<VideoSample> frames(size_t frames = 0) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return frames_.size() >= frames; });
        return frames_;
    }
    std::vector<std::string> stopReports(bool wait = false) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(wait ? 20 : 0),
                          [&] { return !stopped_.empty(); });
        return stopped_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<VideoSample> frames_;
    std::vector<std::string> stopped_;
};

// A uniform YUYV picture (limited range: Y 16 is black, 235 white).
FakeFrame yuyvFrame(std::uint8_t luma, bool monotonic, timeval timestamp) {
    FakeFrame frame;
    frame.bytes.resize(static_cast<size_t>(kWidth) * kHeight * 2);
    for (size_t i = 0; i < frame.bytes.size(); i += 2) {
        frame.bytes[i] = luma;
        frame.bytes[i + 1] = 128;
    }
    frame.monotonic = monotonic;
    frame.timestamp = timestamp;
    return frame;
}

TEST_F(V4l2CameraSourceTest, DeliversDecodedFramesOnTheHostClock) {
    auto camera = addCamera("video0", "Cam");
    camera->frameInterval = std::make_pair(1u, 15u);
    clock_->set(MediaTime::fromNanoseconds(42'000'000'000));
    Collector collector;
    auto stream = source().startCamera("", collector.handlers());

    camera->push(yuyvFrame(235, true, {5, 250'000}));
    FakeFrame damaged = yuyvFrame(16, true, {5, 300'000});
    damaged.error = true;
    camera->push(damaged);
    camera->push(yuyvFrame(16, true, {0, 0}));  // claims monotonic but has no stamp
    FakeFrame truncated = yuyvFrame(16, true, {5, 400'000});
    truncated.bytes.resize(100);
    camera->push(truncated);
    camera->push(yuyvFrame(16, false, {1'700'000'000, 0}));  // wall-clock stamp

    const std::vector<VideoSample> frames = collector.frames(3);
    ASSERT_EQ(frames.size(), 3u);
    const MediaTime expectedTimes[] = {MediaTime::fromNanoseconds(5'250'000'000), clock_->now(),
                                       clock_->now()};
    const std::uint8_t expectedBlue[] = {255, 0, 0};
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(frames[i].isValid());
        EXPECT_EQ(frames[i].pixels->width, kWidth);
        EXPECT_EQ(frames[i].pixels->height, kHeight);
        EXPECT_EQ(frames[i].pixels->row(kHeight / 2)[0], expectedBlue[i]);
        EXPECT_EQ(frames[i].pixels->row(kHeight / 2)[3], 255);
        EXPECT_EQ(frames[i].timing.presentationTimeStamp, expectedTimes[i]);
        EXPECT_EQ(frames[i].timing.duration, MediaTime(1, 15));
        EXPECT_FALSE(frames[i].timing.decodeTimeStamp.isValid());
    }

    // The capture thread waits in poll with nothing to read; stop wakes it.
    stream->stop();
    stream->stop();  // idempotent
    EXPECT_EQ(collector.frames().size(), 3u);
    EXPECT_TRUE(camera->stoppedStreaming);
    EXPECT_EQ(camera->dequeued, 5);
    EXPECT_EQ(camera->requeued, 5);  // every buffer went back, dropped ones too
    EXPECT_TRUE(collector.stopReports().empty());
}

TEST_F(V4l2CameraSourceTest, AnUnpluggedCameraReportsThatItStopped) {
    auto camera = addCamera("video0", "Desk Cam");
    Collector collector;
    auto stream = source().startCamera("", collector.handlers());
    camera->push(yuyvFrame(128, true, {1, 0}));
    ASSERT_EQ(collector.frames(1).size(), 1u);

    camera->disconnect();
    EXPECT_EQ(collector.stopReports(true),
              std::vector<std::string>{"Camera Desk Cam can't be used"});
    stream->stop();
    EXPECT_EQ(collector.frames().size(), 1u);
}

}  // namespace
}  // namespace tessera
