#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <QProcess>

#include "platform/x11/XcbConnection.h"
#include "platform/x11/XcbGlobalHotKeys.h"
#include "support/QtTestEnvironment.h"

namespace tessera {
namespace {

using testing::processEventsUntil;

// Runs xdotool on the test display and waits for it to finish.
void xdotool(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    ASSERT_TRUE(process.waitForFinished(20000)) << "xdotool did not finish";
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
}

// The modifier state of the keyboard, lock bits included.
std::uint16_t keyboardState(XcbConnection& x) {
    XcbReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(x.get(), xcb_query_pointer(x.get(), x.root()), nullptr));
    return pointer ? pointer->mask : 0;
}

TEST(XcbGlobalHotKeysTest, TheComboTypedOnTheKeyboardRunsTheActionWithNumLockOffAndOn) {
    std::vector<std::string> reports;
    XcbGlobalHotKeys hotKeys([&](const std::string& message) { reports.push_back(message); });
    int presses = 0;
    hotKeys.registerHotKey(1, {HotKeyKey::digit2, kShift | kSuper}, [&] { ++presses; });
    EXPECT_TRUE(reports.empty());

    xdotool({"key", "shift+super+2"});
    ASSERT_TRUE(processEventsUntil([&] { return presses == 1; }));

    XcbConnection x;
    xdotool({"key", "Num_Lock"});
    ASSERT_TRUE(processEventsUntil([&] { return (keyboardState(x) & XCB_MOD_MASK_2) != 0; }))
        << "Num Lock did not turn on";
    xdotool({"key", "shift+super+2"});
    const bool pressedWithNumLock = processEventsUntil([&] { return presses == 2; });
    xdotool({"key", "Num_Lock"});
    EXPECT_TRUE(pressedWithNumLock);
    EXPECT_TRUE(processEventsUntil([&] { return (keyboardState(x) & XCB_MOD_MASK_2) == 0; }));
}

// A combo another client holds is reported by name and the others stay
// available; a destroyed adapter frees its combos for others.
TEST(XcbGlobalHotKeysTest, AComboAnotherClientHoldsIsReportedAndOursAreFreedAfterwards) {
    XcbConnection other;
    std::unique_ptr<xcb_key_symbols_t, void (*)(xcb_key_symbols_t*)> symbols(
        xcb_key_symbols_alloc(other.get()), xcb_key_symbols_free);
    XcbReply<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(symbols.get(), XK_1));
    ASSERT_TRUE(codes && codes.get()[0] != XCB_NO_SYMBOL);
    XcbReply<xcb_generic_error_t> grabError(xcb_request_check(
        other.get(),
        xcb_grab_key_checked(other.get(), 1, other.root(), XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4,
                             codes.get()[0], XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
    ASSERT_FALSE(grabError);

    std::vector<std::string> reports;
    {
        XcbGlobalHotKeys hotKeys([&](const std::string& message) { reports.push_back(message); });
        hotKeys.registerHotKey(2, {HotKeyKey::digit1, kShift | kSuper}, [] {});
        hotKeys.registerHotKey(3, {HotKeyKey::escape, kNoModifier}, [] {});
    }
    EXPECT_EQ(reports, std::vector<std::string>{
                           "Shift+Super+1 is already used by another application, so the "
                           "shortcut is off."});
    reports.clear();
    XcbGlobalHotKeys second([&](const std::string& message) { reports.push_back(message); });
    second.registerHotKey(3, {HotKeyKey::escape, kNoModifier}, [] {});
    EXPECT_TRUE(reports.empty());
}

}  // namespace
}  // namespace tessera
