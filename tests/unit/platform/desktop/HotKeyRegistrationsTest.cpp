#include <gtest/gtest.h>

#include <set>

#include "platform/x11/XcbGlobalHotKeys.h"

namespace tessera {
namespace {

constexpr std::uint16_t kShiftBit = 1;
constexpr std::uint16_t kLockBit = 2;
constexpr std::uint16_t kNumLockBit = 16;  // Mod2, where X servers usually put Num Lock
constexpr std::uint16_t kSuperBit = 64;    // Mod4
constexpr std::uint8_t kKey2 = 11;
constexpr std::uint8_t kKey1 = 10;
constexpr std::uint16_t kBase = kShiftBit | kSuperBit;

// The grabs of `key` with Shift+Super in every Caps Lock and Num Lock state.
std::set<KeyGrab> lockVariants(std::uint8_t key) {
    return {{key, kBase},
            {key, kBase | kLockBit},
            {key, kBase | kNumLockBit},
            {key, kBase | kLockBit | kNumLockBit}};
}

// Keeps the set of grabs an X server would hold.
class FakeGrabber final : public KeyGrabber {
  public:
    std::optional<std::uint8_t> keycode(HotKeyKey key) override {
        switch (key) {
            case HotKeyKey::digit2:
                return key2;
            case HotKeyKey::digit1:
                return kKey1;
            case HotKeyKey::escape:
                return missingEscape ? std::nullopt : std::optional(9);
        }
        return std::nullopt;
    }
    std::uint16_t numLockMask() override { return kNumLockBit; }
    GrabResult grab(const std::vector<KeyGrab>& grabs) override {
        for (const auto& g : grabs) {
            EXPECT_TRUE(held.insert(g).second) << "grabbed twice";
        }
        return GrabResult::grabbed;
    }
    void ungrab(const std::vector<KeyGrab>& grabs) override {
        for (const auto& g : grabs) {
            EXPECT_EQ(held.erase(g), 1u) << "ungrabbed a grab that was not held";
        }
    }

    std::set<KeyGrab> held;
    bool missingEscape = false;
    std::uint8_t key2 = kKey2;
};

class HotKeyRegistrationsTest : public ::testing::Test {
  protected:
    HotKeyRegistrations makeRegistrations() {
        return HotKeyRegistrations(
            grabber, [this](std::function<void()> fn) { mainQueue.push_back(std::move(fn)); },
            [this](const std::string& message) { reports.push_back(message); });
    }
    void runMainQueue() {
        while (!mainQueue.empty()) {
            auto fn = std::move(mainQueue.front());
            mainQueue.erase(mainQueue.begin());
            fn();
        }
    }

    FakeGrabber grabber;
    std::vector<std::function<void()>> mainQueue;
    std::vector<std::string> reports;
    const HotKeyCombo shiftSuper2{HotKeyKey::digit2, kShift | kSuper};
};

// A press in any lock state, or with a pointer button held (bit 8 and up),
// runs the latest action for the id from the main queue; a missing or extra
// modifier does not. Moving an id to another combo frees the old key, and
// unregistering the last id releases every grab.
TEST_F(HotKeyRegistrationsTest, EveryLockStateIsGrabbedAndRunsTheLatestAction) {
    auto registrations = makeRegistrations();
    std::vector<std::string> ran;
    registrations.registerHotKey(1, shiftSuper2, [&] { ran.push_back("first"); });
    registrations.registerHotKey(1, shiftSuper2, [&] { ran.push_back("second"); });
    EXPECT_EQ(registrations.size(), 1u);
    EXPECT_EQ(grabber.held, lockVariants(kKey2));
    const struct {
        std::uint16_t state;
        bool runs;
    } presses[] = {
        {kBase, true},      {kBase | kNumLockBit | kLockBit, true}, {kBase | 0x100, true},
        {kShiftBit, false}, {kBase | 4 /* Control */, false},
    };
    for (const auto& press : presses) {
        SCOPED_TRACE(press.state);
        ran.clear();
        registrations.handlePress(kKey2, press.state);
        EXPECT_TRUE(ran.empty()) << "the action runs from the main queue, not inside the event";
        runMainQueue();
        EXPECT_EQ(ran,
                  press.runs ? std::vector<std::string>{"second"} : std::vector<std::string>{});
    }

    registrations.registerHotKey(1, {HotKeyKey::digit1, kShift | kSuper}, [] {});
    EXPECT_EQ(grabber.held, lockVariants(kKey1));
    registrations.registerHotKey(3, {HotKeyKey::escape, kNoModifier}, [] {});
    registrations.unregisterHotKey(1);
    registrations.unregisterHotKey(1);  // not registered any more: no effect
    registrations.unregisterHotKey(3);
    EXPECT_TRUE(grabber.held.empty());
    EXPECT_EQ(registrations.size(), 0u);
}

TEST_F(HotKeyRegistrationsTest, APressWhoseRegistrationWentAwayBeforeItsTurnDoesNothing) {
    int ran = 0;
    {
        auto registrations = makeRegistrations();
        registrations.registerHotKey(2, {HotKeyKey::digit1, kShift | kSuper}, [&] { ++ran; });
        registrations.handlePress(kKey1, kBase);
        registrations.unregisterHotKey(2);
        runMainQueue();
        EXPECT_EQ(ran, 0);

        registrations.registerHotKey(2, {HotKeyKey::digit1, kShift | kSuper}, [&] { ++ran; });
        registrations.handlePress(kKey1, kBase);
    }
    // Destroyed with a press still queued: the lookup finds nothing, and
    // every grab was released.
    runMainQueue();
    EXPECT_EQ(ran, 0);
    EXPECT_TRUE(grabber.held.empty());
}

// After a change of the keyboard map the "2" key may have another key code:
// the grabs follow it, and a combo whose key went away is reported and dropped.
TEST_F(HotKeyRegistrationsTest, GrabsFollowAKeyboardMapChange) {
    auto registrations = makeRegistrations();
    int toggles = 0;
    int escapes = 0;
    registrations.registerHotKey(1, shiftSuper2, [&] { ++toggles; });
    registrations.registerHotKey(3, {HotKeyKey::escape, kNoModifier}, [&] { ++escapes; });

    grabber.key2 = 40;
    grabber.missingEscape = true;
    registrations.keyboardMappingChanged();
    EXPECT_EQ(grabber.held, lockVariants(40));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("Esc is not on this keyboard"), std::string::npos) << reports[0];
    EXPECT_EQ(registrations.size(), 1u);

    registrations.handlePress(kKey2, kBase);
    registrations.handlePress(40, kBase);
    registrations.handlePress(9, 0);
    runMainQueue();
    EXPECT_EQ(toggles, 1);
    EXPECT_EQ(escapes, 0);
}

}  // namespace
}  // namespace tessera
