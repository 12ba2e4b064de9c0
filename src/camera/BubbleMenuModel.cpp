#include "camera/BubbleMenuModel.h"

#include <cmath>

#include "app/AppState.h"

namespace tessera {

namespace bubblemenu {
bool sizeSelected(double bubbleSize, double choice, bool fullScreen) {
    return !fullScreen && std::abs(bubbleSize - choice) < kSizeTolerance;
}
}  // namespace bubblemenu

namespace {

BubbleMenuItem sizeItem(BubbleMenuControl control, const char* label, double dot, double size,
                        const AppState& state) {
    return {control, label,
            bubblemenu::sizeSelected(state.cameraBubbleSize(), size, state.cameraFullScreen()), dot,
            ""};
}

double sizeOf(BubbleMenuControl control) {
    switch (control) {
        case BubbleMenuControl::small:
            return bubblemenu::kSmallSize;
        case BubbleMenuControl::medium:
            return bubblemenu::kMediumSize;
        default:
            return bubblemenu::kLargeSize;
    }
}

}  // namespace

std::vector<BubbleMenuItem> bubbleMenuItems(const AppState& state) {
    const bool fullScreen = state.cameraFullScreen();
    const bool blur = state.cameraBackground() == CameraBackgroundMode::blur;
    return {
        {BubbleMenuControl::turnOff, "Turn off camera", false, 0, "window-close"},
        sizeItem(BubbleMenuControl::small, "Small", 9, bubblemenu::kSmallSize, state),
        sizeItem(BubbleMenuControl::medium, "Medium", 13, bubblemenu::kMediumSize, state),
        sizeItem(BubbleMenuControl::large, "Large", 17, bubblemenu::kLargeSize, state),
        {BubbleMenuControl::fullScreen, fullScreen ? "Exit full screen (Esc)" : "Full screen",
         fullScreen, 0, fullScreen ? "view-restore" : "view-fullscreen"},
        {BubbleMenuControl::blur, blur ? "Blur on" : "Blur background", blur, 0, "blurfx"},
        {BubbleMenuControl::settings, "Settings", false, 0, "configure"},
    };
}

void activateBubbleMenuControl(BubbleMenuControl control, AppState& state,
                               const BubbleMenuActions& actions) {
    switch (control) {
        case BubbleMenuControl::turnOff:
            if (actions.close) {
                actions.close();
            }
            return;
        case BubbleMenuControl::small:
        case BubbleMenuControl::medium:
        case BubbleMenuControl::large:
            // Also when already off: the assignment's hook runs every time.
            state.setCameraFullScreen(false);
            state.setCameraBubbleSize(sizeOf(control));
            return;
        case BubbleMenuControl::fullScreen:
            state.setCameraFullScreen(!state.cameraFullScreen());
            return;
        case BubbleMenuControl::blur:
            state.setCameraBackground(state.cameraBackground() == CameraBackgroundMode::blur
                                          ? CameraBackgroundMode::none
                                          : CameraBackgroundMode::blur);
            return;
        case BubbleMenuControl::settings:
            if (actions.advancedSettings) {
                actions.advancedSettings();
            }
            return;
    }
}

void BubbleMenuHoverLabel::hoverChanged(const std::string& label, bool hovering) {
    if (hovering) {
        text_ = label;
    } else if (text_ == label) {
        text_.reset();
    }
}

}  // namespace tessera
