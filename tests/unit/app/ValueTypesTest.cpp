#include <gtest/gtest.h>

#include <functional>

#include "camera/CameraEffectSettings.h"

namespace tessera {
namespace {

// Frames skip the effects processor when this says so: any effect that is on must count.
TEST(ValueTypesTest, CameraSettingsIdentityNeedsEveryEffectOff) {
    using Edit = std::function<void(CameraEffectSettings&)>;
    const std::pair<Edit, bool> cases[] = {
        {[](auto&) {}, true},
        {[](auto& s) { s.background = CameraBackgroundMode::blur; }, false},
        {[](auto& s) { s.faceSmoothing = 0.0011; }, false},
        {[](auto& s) { s.faceSmoothing = 0.001; }, true},
        {[](auto& s) { s.keepFaceCentered = true; }, false},
        {[](auto& s) { s.autoLighting = true; }, false},
        {[](auto& s) { s.showProfile = true, s.profileImagePath = "/me.png"; }, false},
        {[](auto& s) { s.showProfile = true, s.profileImagePath = ""; }, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        CameraEffectSettings s;
        cases[i].first(s);
        EXPECT_EQ(s.isIdentity(), cases[i].second) << "case " << i;
    }
}

}  // namespace
}  // namespace tessera
