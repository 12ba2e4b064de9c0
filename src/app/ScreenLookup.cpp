#include "app/ScreenLookup.h"

#include <algorithm>

namespace tessera::ScreenLookup {

double chromeScale(std::optional<double> screenHeight) {
    const double height = screenHeight.value_or(fallbackFrame.height());
    if (!(height > 0)) {
        return 1.0;
    }
    return std::clamp(height / 900.0, 1.0, 1.8);
}

}  // namespace tessera::ScreenLookup
