#pragma once

#include <memory>

#include "capture/ControllerPorts.h"
#include "server/APIClient.h"
#include "server/SegmentUploader.h"

namespace tessera {

// The session's API client as the controller's server port.
class ApiSessionServer final : public SessionServer {
  public:
    explicit ApiSessionServer(APIClient api) : api_(std::move(api)) {}

    const APIClient& api() const { return api_; }

    Url baseURL() const override { return api_.base(); }
    Task<void> uploadChunk(const std::string& recordingID, const std::string& kind,
                           std::shared_ptr<const std::vector<std::uint8_t>> data) override;
    Task<FinalizeResult> finalize(const std::string& recordingID) override;
    Task<void> update(const std::string& recordingID, const std::string& description) override;
    Task<void> deleteRecording(const std::string& recordingID) override;

  private:
    APIClient api_;
};

// The session's segment uploader as the controller's report of lost segments.
class UploaderReport final : public SegmentUploads {
  public:
    explicit UploaderReport(std::shared_ptr<SegmentUploader> uploader)
        : uploader_(std::move(uploader)) {}

    Task<std::optional<std::string>> failureSummary() override;

  private:
    std::shared_ptr<SegmentUploader> uploader_;
};

}  // namespace tessera
