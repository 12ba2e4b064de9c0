#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CaptureOptions.h"
#include "app/SettingsTypes.h"
#include "camera/CameraEffectSettings.h"

namespace tessera {
namespace {

// The raw values are the stored format; the order is the order of the pickers.
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
    EXPECT_EQ(rawValues<SettingsCategory>(),
              (V{"recording", "camera", "sharing", "shortcuts", "general"}));
    EXPECT_EQ(rawValues<CameraBackgroundMode>(), (V{"none", "blur", "color", "image"}));
    EXPECT_EQ(rawValues<CameraBackgroundColor>(),
              (V{"charcoal", "violet", "teal", "sand", "white", "green"}));
    EXPECT_EQ(fromRawValue<StripVisibility>("ownscreen"), std::nullopt);
    EXPECT_EQ(fromRawValue<VideoQuality>("automatic"), std::nullopt);
}

TEST(ValueTypesTest, CameraSettingsIdentityNeedsEveryEffectOff) {
    EXPECT_TRUE(CameraEffectSettings{}.isIdentity());
    const std::vector<std::function<void(CameraEffectSettings&)>> effects = {
        [](auto& s) { s.background = CameraBackgroundMode::blur; },
        [](auto& s) { s.faceSmoothing = 0.0011; },
        [](auto& s) { s.keepFaceCentered = true; },
        [](auto& s) { s.autoLighting = true; },
        [](auto& s) {
            s.showProfile = true;
            s.profileImagePath = "/me.png";
        },
    };
    for (std::size_t i = 0; i < effects.size(); ++i) {
        CameraEffectSettings s;
        effects[i](s);
        EXPECT_FALSE(s.isIdentity()) << "effect " << i;
    }
    const std::vector<std::function<void(CameraEffectSettings&)>> noEffect = {
        [](auto& s) { s.faceSmoothing = 0.001; },
        [](auto& s) { s.showProfile = true; },
        [](auto& s) {
            s.showProfile = true;
            s.profileImagePath = "";
        },
        [](auto& s) { s.profileImagePath = "/me.png"; },
        [](auto& s) { s.blurStrength = 0.9; },
    };
    for (std::size_t i = 0; i < noEffect.size(); ++i) {
        CameraEffectSettings s;
        noEffect[i](s);
        EXPECT_TRUE(s.isIdentity()) << "case " << i;
    }
}

}  // namespace
}  // namespace tessera
