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

// Keeps the set of grabs an X server would hold, and can pretend that another
// client holds some.
class FakeGrabber final : public KeyGrabber {
  public:
    std::optional<std::uint8_t> keycode(HotKeyKey key) override {
        switch (key) {
            case HotKeyKey::digit2:
                return key2;
            case HotKeyKey::digit1:
                return 10;
            case HotKeyKey::escape:
                return missingEscape ? std::nullopt : std::optional(9);
        }
        return std::nullopt;
    }
    std::uint16_t numLockMask() override { return kNumLockBit; }
    GrabResult grab(const std::vector<KeyGrab>& grabs) override {
        ++grabCalls;
        for (const auto& g : grabs) {
            if (takenByOthers.contains(g)) {
                return GrabResult::taken;
            }
        }
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
    std::set<KeyGrab> takenByOthers;
    int grabCalls = 0;
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

TEST_F(HotKeyRegistrationsTest, EveryLockStateIsGrabbedAndAPressInAnyOfThemRunsTheAction) {
    auto registrations = makeRegistrations();
    int toggles = 0;
    registrations.registerHotKey(1, shiftSuper2, [&] { ++toggles; });
    const std::uint16_t base = kShiftBit | kSuperBit;
    EXPECT_EQ(grabber.held, (std::set<KeyGrab>{{kKey2, base},
                                               {kKey2, base | kLockBit},
                                               {kKey2, base | kNumLockBit},
                                               {kKey2, base | kLockBit | kNumLockBit}}));

    registrations.handlePress(kKey2, base | kNumLockBit | kLockBit);
    EXPECT_EQ(toggles, 0) << "the action runs from the main queue, not inside the event";
    runMainQueue();
    EXPECT_EQ(toggles, 1);

    // A pointer button held down (bit 8 and up) does not hide the combo; a
    // missing or extra modifier does.
    registrations.handlePress(kKey2, base | 0x100);
    registrations.handlePress(kKey2, kShiftBit);
    registrations.handlePress(kKey2, base | 4 /* Control */);
    runMainQueue();
    EXPECT_EQ(toggles, 2);
}

TEST_F(HotKeyRegistrationsTest, RegisteringAnIdAgainReplacesItAndUnregisteringTheLastReleasesAll) {
    auto registrations = makeRegistrations();
    std::vector<std::string> ran;
    registrations.registerHotKey(1, shiftSuper2, [&] { ran.push_back("first"); });
    registrations.registerHotKey(1, shiftSuper2, [&] { ran.push_back("second"); });
    EXPECT_EQ(registrations.size(), 1u);
    EXPECT_EQ(grabber.held.size(), 4u);
    registrations.handlePress(kKey2, kShiftBit | kSuperBit);
    runMainQueue();
    EXPECT_EQ(ran, std::vector<std::string>{"second"});

    // Moving an id to another combo frees the old key.
    registrations.registerHotKey(1, {HotKeyKey::digit1, kShift | kSuper}, [&] {});
    EXPECT_EQ(grabber.held.count({kKey2, kShiftBit | kSuperBit}), 0u);

    registrations.registerHotKey(3, {HotKeyKey::escape, kNoModifier}, [&] {});
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
        registrations.handlePress(10, kShiftBit | kSuperBit);
        registrations.unregisterHotKey(2);
        runMainQueue();
        EXPECT_EQ(ran, 0);

        registrations.registerHotKey(2, {HotKeyKey::digit1, kShift | kSuper}, [&] { ++ran; });
        registrations.handlePress(10, kShiftBit | kSuperBit);
    }
    // Destroyed with a press still queued: the lookup finds nothing, and
    // every grab was released.
    runMainQueue();
    EXPECT_EQ(ran, 0);
    EXPECT_TRUE(grabber.held.empty());
}

TEST_F(HotKeyRegistrationsTest, ACombinationItCannotHaveIsReportedAndNeverRuns) {
    auto registrations = makeRegistrations();
    grabber.takenByOthers = {{kKey2, kShiftBit | kSuperBit | kNumLockBit}};
    int ran = 0;
    registrations.registerHotKey(1, shiftSuper2, [&] { ++ran; });
    grabber.missingEscape = true;
    registrations.registerHotKey(3, {HotKeyKey::escape, kNoModifier}, [&] { ++ran; });
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].find("Esc"), std::string::npos);
    EXPECT_EQ(registrations.size(), 0u);
    registrations.handlePress(kKey2, kShiftBit | kSuperBit);
    runMainQueue();
    EXPECT_EQ(ran, 0);
}

// After a change of the keyboard map the "2" key may have another key code:
// the grabs follow it, and a combo whose key went away is reported and dropped.
TEST_F(HotKeyRegistrationsTest, AChangedKeyboardMapMovesTheGrabsToTheNewKeyCodes) {
    auto registrations = makeRegistrations();
    int toggles = 0;
    int cancels = 0;
    registrations.registerHotKey(1, shiftSuper2, [&] { ++toggles; });
    registrations.registerHotKey(2, {HotKeyKey::escape, 0}, [&] { ++cancels; });
    const std::uint16_t base = kShiftBit | kSuperBit;

    grabber.key2 = 40;
    grabber.missingEscape = true;
    registrations.keyboardMappingChanged();
    EXPECT_EQ(grabber.held, (std::set<KeyGrab>{{40, base},
                                               {40, base | kLockBit},
                                               {40, base | kNumLockBit},
                                               {40, base | kLockBit | kNumLockBit}}));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("not on this keyboard"), std::string::npos) << reports[0];
    EXPECT_EQ(registrations.size(), 1u);

    registrations.handlePress(kKey2, base);
    registrations.handlePress(40, base);
    runMainQueue();
    EXPECT_EQ(toggles, 1);
    registrations.unregisterAll();
    EXPECT_TRUE(grabber.held.empty());
}

}  // namespace
}  // namespace tessera
