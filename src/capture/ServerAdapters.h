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

// The session's segment pipe as the controller's upload pipe.
class SegmentUploadPipe final : public UploadPipe {
  public:
    explicit SegmentUploadPipe(SegmentPipe pipe) : pipe_(std::move(pipe)) {}

    Task<void> closeAtStop() override { return pipe_.closeAtStop(); }
    void closeAtCancel() override { pipe_.closeAtCancel(); }
    std::optional<std::string> failureSummary() const override {
        return pipe_.uploader->failureSummary();
    }
    std::map<std::string, UploadCounters> counters() const override {
        return pipe_.uploader->stats();
    }

  private:
    SegmentPipe pipe_;
};

}  // namespace tessera
