#include "camera/effects/ModelFiles.h"

#include <exception>
#include <system_error>

#include "support/Log.h"

namespace tessera::effects {

cv::dnn::Net loadModel(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return {};
    }
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(path.string());
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        return net;
    } catch (const cv::Exception&) {
        logging::handled(kComponent, "loading " + path.string(), std::current_exception());
        return {};
    }
}

}  // namespace tessera::effects
