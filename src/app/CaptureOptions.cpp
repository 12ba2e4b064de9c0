#include "app/CaptureOptions.h"

namespace tessera {

std::string WindowOption::displayName() const {
    if (title.empty()) {
        return appName;
    }
    return appName + " — " + title;
}

}  // namespace tessera
