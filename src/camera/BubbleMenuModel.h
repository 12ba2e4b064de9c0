#pragma once

// What the bubble menu shows and does, without a view: its controls in bar
// order with their labels and highlights for the current settings, what each
// one does to the settings and the controller, and the label above the bar.

#include <optional>
#include <string>
#include <vector>

#include "capture/ControllerPorts.h"

namespace tessera {

class AppState;

enum class BubbleMenuControl { turnOff, small, medium, large, fullScreen, blur, settings };

struct BubbleMenuItem {
    BubbleMenuControl control;
    // Shown above the bar while the pointer is on the control; also its
    // accessible name.
    std::string label;
    bool highlighted = false;
    // A size choice is drawn as a dot of this diameter; 0 for icon buttons.
    double dotDiameter = 0;
    // The freedesktop icon name of an icon button.
    std::string iconName;
};

namespace bubblemenu {
// Bubble diameters of the three size choices.
inline constexpr double kSmallSize = 150;
inline constexpr double kMediumSize = 230;
inline constexpr double kLargeSize = 460;
// A size choice is highlighted while the bubble is within this of it.
inline constexpr double kSizeTolerance = 40;

// Whether the size choice `choice` is the current one.
bool sizeSelected(double bubbleSize, double choice, bool fullScreen);
}  // namespace bubblemenu

// The controls, left to right, for the current settings.
std::vector<BubbleMenuItem> bubbleMenuItems(const AppState& state);

// Runs a control: size choices leave full screen and then set the size; full
// screen and blur toggle; the cross and the gear call the controller's
// actions. Every change goes through the AppState setters.
void activateBubbleMenuControl(BubbleMenuControl control, AppState& state,
                               const BubbleMenuActions& actions);

// The label above the bar. A control that reports the end of its hover
// clears the label only when it is still its own: the pointer may already
// have moved onto another control that set its label first.
class BubbleMenuHoverLabel {
  public:
    void hoverChanged(const std::string& label, bool hovering);
    const std::optional<std::string>& text() const { return text_; }

  private:
    std::optional<std::string> text_;
};

}  // namespace tessera
