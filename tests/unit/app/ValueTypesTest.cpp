#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CaptureOptions.h"
#include "app/SettingsTypes.h"
#include "camera/CameraEffectSettings.h"

namespace tessera {
namespace {

// The raw values are the stored format: renaming one loses the users' choices.
template <typename E>
std::vector<std::string> rawValues() {
    std::vector<std::string> names;
    for (E value : allCases<E>()) {
        names.emplace_back(rawValue(value));
        EXPECT_EQ(fromRawValue<E>(rawValue(value)), value);
    }
    return names;
}

TEST(ValueTypesTest, RawValuesAndCaseOrder) {
    using V = std::vector<std::string>;
    EXPECT_EQ(rawValues<CaptureMode>(), (V{"display", "window"}));
    EXPECT_EQ(rawValues<VideoQuality>(), (V{"auto", "high", "standard"}));
    EXPECT_EQ(rawValues<StripVisibility>(), (V{"always", "ownScreen", "hidden"}));
    EXPECT_EQ(rawValues<PenColor>(), (V{"purple", "red", "orange", "green", "blue", "white"}));
    EXPECT_EQ(rawValues<CameraBackgroundMode>(), (V{"none", "blur", "color", "image"}));
    EXPECT_EQ(rawValues<CameraBackgroundColor>(),
              (V{"charcoal", "violet", "teal", "sand", "white", "green"}));
}

// Frames skip the effects processor when this says so: any effect that is on must count.
TEST(ValueTypesTest, CameraSettingsIdentityNeedsEveryEffectOff) {
    const std::pair<std::function<void(CameraEffectSettings&)>, bool> cases[] = {
        {[](auto&) {}, true},
        {[](auto& s) { s.background = CameraBackgroundMode::blur; }, false},
        {[](auto& s) { s.faceSmoothing = 0.0011; }, false},
        {[](auto& s) { s.faceSmoothing = 0.001; }, true},
        {[](auto& s) { s.keepFaceCentered = true; }, false},
        {[](auto& s) { s.autoLighting = true; }, false},
        {[](auto& s) {
             s.showProfile = true;
             s.profileImagePath = "/me.png";
         },
         false},
        {[](auto& s) {
             s.showProfile = true;
             s.profileImagePath = "";
         },
         true},
        {[](auto& s) { s.showProfile = true; }, true},
        {[](auto& s) { s.profileImagePath = "/me.png"; }, true},
        {[](auto& s) { s.blurStrength = 0.9; }, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        CameraEffectSettings s;
        cases[i].first(s);
        EXPECT_EQ(s.isIdentity(), cases[i].second) << "case " << i;
    }
}

}  // namespace
}  // namespace tessera
