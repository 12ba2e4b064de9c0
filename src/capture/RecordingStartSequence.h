#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <vector>

#include "app/DiscoveryPorts.h"
#include "capture/ControllerPorts.h"
#include "capture/spool/SessionSpool.h"
#include "media/EncoderSettings.h"
#include "platform/ScreenPermission.h"
#include "server/HttpTransport.h"
#include "server/ServerPresence.h"
#include "support/Executor.h"

namespace tessera {

// What the start sequence works with. The references must outlive it.
struct RecordingStartPorts {
    Executor& executor;
    ScreenPermission& screenPermission;
    DeviceAccess& access;
    CameraFactory& cameras;
    WindowFactory& windows;
    DisplaySource& displays;
    WindowSource& windowList;
    SessionMediaFactory& media;
    ShareActions& share;
    // The transport of every session's API client.
    std::shared_ptr<HttpTransport> http;
    ServerEndpoints endpoints;
    // Windows of this process are the recorder's own.
    pid_t ownProcessID;
    // Where each session keeps its local copy while it uploads, and where a
    // kept copy is saved (LocalCopyFolders::fromEnvironment() in the app).
    // None: sessions keep no local copy.
    std::optional<LocalCopyFolders> localCopies = std::nullopt;
    // Bytes of segments per kind that wait for their upload in memory; beyond
    // it they wait in the local copy on disk.
    std::size_t uploadMemoryWindowBytes = 32u << 20;
};

// The displays and windows that can be captured right now.
struct ShareableContent {
    std::vector<MonitorInfo> displays;
    std::vector<ContentWindow> windows;
};

// The recorder's own windows to leave out of a display capture: every window
// of this process except those kept in and the pen overlay.
std::vector<std::uint32_t> ownWindowsToExclude(const ShareableContent& content, pid_t ownProcessID,
                                               const std::vector<std::uint32_t>& kept,
                                               std::optional<std::uint32_t> overlayWindowID);

// The real start of a recording: permissions, camera, pen overlay, capture
// target, the server recording and its link, the upload pipe and the writers,
// then, after the countdown, capture. Every step stores what it creates in the
// controller's session at once, so the controller's tear-down releases it
// whatever fails later; cancellation is checked between the steps and at every
// await.
class RecordingStartSequence final : public StartSequence {
  public:
    explicit RecordingStartSequence(RecordingStartPorts ports) : ports_(std::move(ports)) {}

    Task<void> prepare(StartContext context) override;
    Task<void> startCapture(StartContext context) override;

  private:
    Task<ShareableContent> fetchContent();
    // The session's spool; none when there are no folders for it or it cannot
    // be created (logged).
    std::shared_ptr<SessionSpool> makeSpool(const std::string& recordingID);
    Task<void> prepareCamera(StartContext& context, bool& cameraStream);
    Task<ContentFilter> chooseTarget(StartContext& context, const ShareableContent& first,
                                     PixelSize& size);

    RecordingStartPorts ports_;
};

}  // namespace tessera
