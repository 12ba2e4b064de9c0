#include "camera/effects/ModelDirectory.h"

#include <system_error>

namespace tessera {

std::filesystem::path defaultModelDirectory() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        auto installed =
            executable.parent_path().parent_path() / "share" / "tessera-recorder" / "models";
        if (std::filesystem::is_directory(installed, error)) {
            return installed;
        }
    }
    return TESSERA_BUILD_MODEL_DIR;
}

}  // namespace tessera
