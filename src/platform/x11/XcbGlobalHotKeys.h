#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/ControllerPorts.h"

namespace tessera {

// One passive key grab on the root window: a key code with the exact set of
// X modifier bits that must be down.
struct KeyGrab {
    std::uint8_t keycode = 0;
    std::uint16_t modifiers = 0;
    friend auto operator<=>(const KeyGrab&, const KeyGrab&) = default;
};

// The X modifier bits of a combo's modifiers: Shift is ShiftMask, Super is
// Mod4Mask.
std::uint16_t x11Modifiers(unsigned hotKeyModifiers);

// The grabs that make a key work whatever the state of Caps Lock and Num Lock:
// X matches a grab's modifiers exactly, so each lock combination needs its
// own. `numLockMask` 0 (no Num Lock key) gives only the Caps Lock variants.
std::vector<KeyGrab> lockVariants(std::uint8_t keycode, std::uint16_t modifiers,
                                  std::uint16_t numLockMask);

// "Shift+Super+2", for messages.
std::string comboName(const HotKeyCombo& combo);

// The X side of the hot keys. Main thread.
class KeyGrabber {
  public:
    enum class GrabResult { grabbed, taken, failed };
    virtual ~KeyGrabber() = default;
    // The key code of a key in the current keyboard map; none when the map
    // has no such key.
    virtual std::optional<std::uint8_t> keycode(HotKeyKey key) = 0;
    // The modifier bit that Num Lock sets; 0 when no modifier has it.
    virtual std::uint16_t numLockMask() = 0;
    // Grabs every one of `grabs`, or none of them: taken when another client
    // holds one of them already.
    virtual GrabResult grab(const std::vector<KeyGrab>& grabs) = 0;
    virtual void ungrab(const std::vector<KeyGrab>& grabs) = 0;
};

// The registrations of GlobalHotKey over any KeyGrabber: ids, replacing a
// registration, the lock variants, and the dispatch of a press. Main thread.
//
// A combo the grabber cannot take is not registered, and `reportUnavailable`
// gets a sentence for the user that names it. A press posts, through
// `postToMain`, a lookup of the registration that runs its action then; a
// press of an id that is no longer registered by then does nothing.
class HotKeyRegistrations final : public GlobalHotKey {
  public:
    HotKeyRegistrations(KeyGrabber& grabber, std::function<void(std::function<void()>)> postToMain,
                        std::function<void(const std::string&)> reportUnavailable);
    ~HotKeyRegistrations() override;
    HotKeyRegistrations(const HotKeyRegistrations&) = delete;
    HotKeyRegistrations& operator=(const HotKeyRegistrations&) = delete;

    void registerHotKey(int id, HotKeyCombo combo, std::function<void()> action) override;
    void unregisterHotKey(int id) override;
    void unregisterAll();
    // The keyboard map changed (another layout, a remapped key): the key codes
    // and the Num Lock bit may now be others, so every registration is grabbed
    // again from its combo. One that can no longer be grabbed is reported and
    // dropped, as at registration.
    void keyboardMappingChanged();

    // A key press the grabber saw: `state` is the event's modifier state,
    // lock bits included.
    void handlePress(std::uint8_t keycode, std::uint16_t state);

    std::size_t size() const { return registrations_.size(); }

  private:
    struct Registration {
        HotKeyCombo combo;
        std::vector<KeyGrab> grabs;  // grabs.front() has no lock bits
        std::function<void()> action;
    };

    // Grabs `combo` and returns its grabs, or reports why it cannot.
    std::optional<std::vector<KeyGrab>> grabCombo(const HotKeyCombo& combo);

    KeyGrabber& grabber_;
    std::function<void(std::function<void()>)> postToMain_;
    std::function<void(const std::string&)> reportUnavailable_;
    std::map<int, Registration> registrations_;
    // Lets a posted lookup know whether this object still exists.
    std::shared_ptr<HotKeyRegistrations*> self_;
};

// System-wide hot keys on X11: passive grabs on the root window of an XCB
// connection of their own, whose events are read on the main thread (a
// QSocketNotifier on the connection). Needs a running Qt event loop; main
// thread. `displayName` defaults to $DISPLAY. Throws RecorderError when the
// display cannot be opened.
class XcbGlobalHotKeys final : public GlobalHotKey {
  public:
    explicit XcbGlobalHotKeys(std::function<void(const std::string&)> reportUnavailable,
                              const std::optional<std::string>& displayName = std::nullopt);
    ~XcbGlobalHotKeys() override;

    void registerHotKey(int id, HotKeyCombo combo, std::function<void()> action) override;
    void unregisterHotKey(int id) override;

  private:
    class Grabber;
    std::unique_ptr<Grabber> grabber_;
    std::unique_ptr<HotKeyRegistrations> registrations_;
};

}  // namespace tessera
