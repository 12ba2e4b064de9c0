#include "platform/x11/XcbGlobalHotKeys.h"

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <QAbstractEventDispatcher>
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <algorithm>

#include "platform/x11/XcbConnection.h"
#include "support/Log.h"

namespace tessera {

namespace {

constexpr const char* kComponent = "hotkeys";
// The modifier bits of a key event's state (the rest are pointer buttons).
constexpr std::uint16_t kKeyModifierBits = 0xff;
constexpr std::uint8_t kBadAccess = 10;

xcb_keysym_t keysymOf(HotKeyKey key) {
    switch (key) {
        case HotKeyKey::digit2:
            return XK_2;
        case HotKeyKey::digit1:
            return XK_1;
        case HotKeyKey::escape:
            return XK_Escape;
    }
    return XK_VoidSymbol;
}

}  // namespace

std::uint16_t x11Modifiers(unsigned hotKeyModifiers) {
    std::uint16_t bits = 0;
    if (hotKeyModifiers & kShift) {
        bits |= XCB_MOD_MASK_SHIFT;
    }
    if (hotKeyModifiers & kSuper) {
        bits |= XCB_MOD_MASK_4;
    }
    return bits;
}

std::vector<KeyGrab> lockVariants(std::uint8_t keycode, std::uint16_t modifiers,
                                  std::uint16_t numLockMask) {
    std::vector<std::uint16_t> locks = {0, XCB_MOD_MASK_LOCK};
    if (numLockMask != 0 && numLockMask != XCB_MOD_MASK_LOCK) {
        locks.push_back(numLockMask);
        locks.push_back(numLockMask | XCB_MOD_MASK_LOCK);
    }
    std::vector<KeyGrab> grabs;
    for (auto lock : locks) {
        grabs.push_back({keycode, static_cast<std::uint16_t>(modifiers | lock)});
    }
    return grabs;
}

std::string comboName(const HotKeyCombo& combo) {
    std::string name;
    if (combo.modifiers & kShift) {
        name += "Shift+";
    }
    if (combo.modifiers & kSuper) {
        name += "Super+";
    }
    switch (combo.key) {
        case HotKeyKey::digit2:
            return name + "2";
        case HotKeyKey::digit1:
            return name + "1";
        case HotKeyKey::escape:
            return name + "Esc";
    }
    return name + "?";
}

HotKeyRegistrations::HotKeyRegistrations(KeyGrabber& grabber,
                                         std::function<void(std::function<void()>)> postToMain,
                                         std::function<void(const std::string&)> reportUnavailable)
    : grabber_(grabber),
      postToMain_(std::move(postToMain)),
      reportUnavailable_(std::move(reportUnavailable)),
      self_(std::make_shared<HotKeyRegistrations*>(this)) {}

HotKeyRegistrations::~HotKeyRegistrations() {
    *self_ = nullptr;
    unregisterAll();
}

void HotKeyRegistrations::registerHotKey(int id, HotKeyCombo combo, std::function<void()> action) {
    unregisterHotKey(id);
    if (auto grabs = grabCombo(combo)) {
        registrations_[id] = Registration{combo, std::move(*grabs), std::move(action)};
    }
}

std::optional<std::vector<KeyGrab>> HotKeyRegistrations::grabCombo(const HotKeyCombo& combo) {
    const auto name = comboName(combo);
    auto keycode = grabber_.keycode(combo.key);
    if (!keycode) {
        reportUnavailable_(name + " is not on this keyboard, so the shortcut is off.");
        return std::nullopt;
    }
    auto grabs = lockVariants(*keycode, x11Modifiers(combo.modifiers), grabber_.numLockMask());
    switch (grabber_.grab(grabs)) {
        case KeyGrabber::GrabResult::grabbed:
            return grabs;
        case KeyGrabber::GrabResult::taken:
            reportUnavailable_(name +
                               " is already used by another application, so the shortcut is off.");
            return std::nullopt;
        case KeyGrabber::GrabResult::failed:
            reportUnavailable_(name + " could not be set up, so the shortcut is off.");
            return std::nullopt;
    }
    return std::nullopt;
}

void HotKeyRegistrations::keyboardMappingChanged() {
    for (auto& [id, registration] : registrations_) {
        grabber_.ungrab(registration.grabs);
        registration.grabs.clear();
    }
    for (auto it = registrations_.begin(); it != registrations_.end();) {
        if (auto grabs = grabCombo(it->second.combo)) {
            it->second.grabs = std::move(*grabs);
            ++it;
        } else {
            it = registrations_.erase(it);
        }
    }
}

void HotKeyRegistrations::unregisterHotKey(int id) {
    auto found = registrations_.find(id);
    if (found == registrations_.end()) {
        return;
    }
    auto grabs = std::move(found->second.grabs);
    registrations_.erase(found);
    grabber_.ungrab(grabs);
}

void HotKeyRegistrations::unregisterAll() {
    while (!registrations_.empty()) {
        unregisterHotKey(registrations_.begin()->first);
    }
}

void HotKeyRegistrations::handlePress(std::uint8_t keycode, std::uint16_t state) {
    const KeyGrab pressed{keycode, static_cast<std::uint16_t>(state & kKeyModifierBits)};
    for (const auto& [id, registration] : registrations_) {
        const auto& grabs = registration.grabs;
        if (std::find(grabs.begin(), grabs.end(), pressed) == grabs.end()) {
            continue;
        }
        // The action runs from the main queue, after a fresh lookup: a key
        // pressed just before its registration went away does nothing.
        postToMain_([weakSelf = std::weak_ptr(self_), id = id] {
            auto self = weakSelf.lock();
            if (!self || !*self) {
                return;
            }
            auto found = (*self)->registrations_.find(id);
            if (found != (*self)->registrations_.end()) {
                auto action = found->second.action;  // the action may unregister itself
                action();
            }
        });
        return;
    }
}

// The XCB connection that holds the grabs and reads their key events on the
// main thread.
class XcbGlobalHotKeys::Grabber final : public KeyGrabber {
  public:
    explicit Grabber(const std::optional<std::string>& displayName)
        : connection_(displayName),
          symbols_(xcb_key_symbols_alloc(connection_.get())),
          notifier_(xcb_get_file_descriptor(connection_.get()), QSocketNotifier::Read) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, &context_,
                         [this] { readEvents(/*fromSocket=*/true); });
        // Replies read by our own requests can pull key events into libxcb's
        // queue without the socket becoming readable again; look there each
        // time the loop is about to sleep.
        if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
            QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &context_,
                             [this] { readEvents(/*fromSocket=*/false); });
        }
    }

    ~Grabber() override {
        // A round trip, so the server has released our grabs when the
        // destructor returns (another client may want the keys at once).
        XcbReply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(
            connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
    }

    void setOnPress(std::function<void(std::uint8_t, std::uint16_t)> onPress) {
        onPress_ = std::move(onPress);
    }
    void setOnMappingChanged(std::function<void()> onMappingChanged) {
        onMappingChanged_ = std::move(onMappingChanged);
    }

    QObject& context() { return context_; }

    std::optional<std::uint8_t> keycode(HotKeyKey key) override {
        XcbReply<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(symbols_.get(), keysymOf(key)));
        if (!codes || codes.get()[0] == XCB_NO_SYMBOL) {
            return std::nullopt;
        }
        return codes.get()[0];
    }

    std::uint16_t numLockMask() override {
        XcbReply<xcb_keycode_t> numLock(xcb_key_symbols_get_keycode(symbols_.get(), XK_Num_Lock));
        if (!numLock) {
            return 0;
        }
        XcbReply<xcb_get_modifier_mapping_reply_t> mapping(xcb_get_modifier_mapping_reply(
            connection_.get(), xcb_get_modifier_mapping(connection_.get()), nullptr));
        if (!mapping) {
            return 0;
        }
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(mapping.get());
        const int perModifier = mapping->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int i = 0; i < perModifier; ++i) {
                const xcb_keycode_t code = codes[modifier * perModifier + i];
                for (auto* n = numLock.get(); code != 0 && *n != XCB_NO_SYMBOL; ++n) {
                    if (*n == code) {
                        return static_cast<std::uint16_t>(1u << modifier);
                    }
                }
            }
        }
        return 0;
    }

    GrabResult grab(const std::vector<KeyGrab>& grabs) override {
        std::vector<xcb_void_cookie_t> cookies;
        for (const auto& grab : grabs) {
            cookies.push_back(xcb_grab_key_checked(connection_.get(), 1, connection_.root(),
                                                   grab.modifiers, grab.keycode,
                                                   XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        }
        GrabResult result = GrabResult::grabbed;
        std::vector<KeyGrab> held;
        for (std::size_t i = 0; i < grabs.size(); ++i) {
            XcbReply<xcb_generic_error_t> error(xcb_request_check(connection_.get(), cookies[i]));
            if (!error) {
                held.push_back(grabs[i]);
            } else if (error->error_code == kBadAccess) {
                result = GrabResult::taken;
            } else {
                logging::warning(kComponent, "grabbing key " + std::to_string(grabs[i].keycode) +
                                                 " failed with X error " +
                                                 std::to_string(error->error_code));
                if (result == GrabResult::grabbed) {
                    result = GrabResult::failed;
                }
            }
        }
        if (result != GrabResult::grabbed) {
            ungrab(held);
        }
        return result;
    }

    void ungrab(const std::vector<KeyGrab>& grabs) override {
        for (const auto& grab : grabs) {
            xcb_ungrab_key(connection_.get(), grab.keycode, connection_.root(), grab.modifiers);
        }
        xcb_flush(connection_.get());
    }

  private:
    struct FreeSymbols {
        void operator()(xcb_key_symbols_t* symbols) const { xcb_key_symbols_free(symbols); }
    };

    XcbReply<xcb_generic_event_t> nextEvent(bool fromSocket) {
        return XcbReply<xcb_generic_event_t>(fromSocket
                                                 ? xcb_poll_for_event(connection_.get())
                                                 : xcb_poll_for_queued_event(connection_.get()));
    }

    void readEvents(bool fromSocket) {
        while (auto event = nextEvent(fromSocket)) {
            dispatch(std::move(event));
        }
        if (connection_.hasError() && notifier_.isEnabled()) {
            notifier_.setEnabled(false);
            logging::error(kComponent, "the X connection of the hot keys broke; shortcuts are off");
        }
    }

    void dispatch(XcbReply<xcb_generic_event_t> event) {
        switch (event->response_type & 0x7f) {
            case XCB_KEY_PRESS: {
                auto* press = reinterpret_cast<xcb_key_press_event_t*>(event.get());
                if (onPress_) {
                    onPress_(press->detail, press->state);
                }
                break;
            }
            case XCB_KEY_RELEASE: {
                // A key held down repeats as release + press with the same
                // time stamp; such a press is no new press of the shortcut.
                auto* release = reinterpret_cast<xcb_key_release_event_t*>(event.get());
                XcbReply<xcb_generic_event_t> next(xcb_poll_for_event(connection_.get()));
                if (!next) {
                    break;
                }
                auto* press = reinterpret_cast<xcb_key_press_event_t*>(next.get());
                const bool repeat = (next->response_type & 0x7f) == XCB_KEY_PRESS &&
                                    press->detail == release->detail &&
                                    press->time == release->time;
                if (!repeat) {
                    dispatch(std::move(next));
                }
                break;
            }
            case XCB_MAPPING_NOTIFY: {
                auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event.get());
                xcb_refresh_keyboard_mapping(symbols_.get(), mapping);
                if (mapping->request != XCB_MAPPING_POINTER && onMappingChanged_) {
                    onMappingChanged_();
                }
                break;
            }
            default:
                break;
        }
    }

    XcbConnection connection_;
    std::unique_ptr<xcb_key_symbols_t, FreeSymbols> symbols_;
    QObject context_;
    QSocketNotifier notifier_;
    std::function<void(std::uint8_t, std::uint16_t)> onPress_;
    std::function<void()> onMappingChanged_;
};

XcbGlobalHotKeys::XcbGlobalHotKeys(std::function<void(const std::string&)> reportUnavailable,
                                   const std::optional<std::string>& displayName)
    : grabber_(std::make_unique<Grabber>(displayName)) {
    QObject* context = &grabber_->context();
    registrations_ = std::make_unique<HotKeyRegistrations>(
        *grabber_,
        [context](std::function<void()> fn) {
            QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
        },
        std::move(reportUnavailable));
    grabber_->setOnPress([this](std::uint8_t keycode, std::uint16_t state) {
        registrations_->handlePress(keycode, state);
    });
    grabber_->setOnMappingChanged([this] { registrations_->keyboardMappingChanged(); });
}

XcbGlobalHotKeys::~XcbGlobalHotKeys() {
    registrations_.reset();
}

void XcbGlobalHotKeys::registerHotKey(int id, HotKeyCombo combo, std::function<void()> action) {
    registrations_->registerHotKey(id, combo, std::move(action));
}

void XcbGlobalHotKeys::unregisterHotKey(int id) {
    registrations_->unregisterHotKey(id);
}

}  // namespace tessera
