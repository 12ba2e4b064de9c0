#include "capture/ServerAdapters.h"

namespace tessera {

Task<void> ApiSessionServer::uploadChunk(const std::string& recordingID, const std::string& kind,
                                         std::shared_ptr<const std::vector<std::uint8_t>> data) {
    co_await api_.uploadChunk(recordingID, kind, std::move(data));
}

Task<FinalizeResult> ApiSessionServer::finalize(const std::string& recordingID) {
    RecordingInfo info = co_await api_.finalize(recordingID);
    co_return FinalizeResult{std::move(info.status), std::move(info.shareUrl),
                             std::move(info.error)};
}

Task<void> ApiSessionServer::update(const std::string& recordingID,
                                    const std::string& description) {
    co_await api_.update(recordingID, description);
}

Task<void> ApiSessionServer::deleteRecording(const std::string& recordingID) {
    co_await api_.deleteRecording(recordingID);
}

}  // namespace tessera
