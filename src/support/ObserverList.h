#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace tessera {

// Keeps one observer registered for as long as it lives. Move-only; destroying
// it (or calling reset()) unsubscribes. It may outlive the list it came from,
// in which case destroying it does nothing.
class Subscription {
  public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            cancel_ = std::exchange(other.cancel_, {});
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { reset(); }

    void reset() {
        if (auto cancel = std::exchange(cancel_, {})) {
            cancel();
        }
    }
    bool active() const { return static_cast<bool>(cancel_); }

  private:
    std::function<void()> cancel_;
};

// A list of callbacks notified in subscription order.
//
// Main thread only: subscribe, notify and every Subscription of one list must
// be used on the same thread. notify() tolerates observers that unsubscribe
// themselves or others, subscribe new observers (called from the next
// notification on), or destroy the list while it runs.
template <typename... Args>
class ObserverList {
  public:
    using Observer = std::function<void(Args...)>;

    ObserverList() = default;
    ObserverList(const ObserverList&) = delete;
    ObserverList& operator=(const ObserverList&) = delete;

    [[nodiscard]] Subscription subscribe(Observer observer) {
        auto entry = std::make_shared<Entry>(Entry{std::move(observer), true});
        state_->entries.push_back(entry);
        std::weak_ptr<State> weakState = state_;
        std::weak_ptr<Entry> weakEntry = entry;
        return Subscription([weakState, weakEntry] {
            auto state = weakState.lock();
            auto target = weakEntry.lock();
            if (!state || !target) {
                return;
            }
            target->active = false;
            std::erase(state->entries, target);
        });
    }

    void notify(Args... args) {
        // Work on a snapshot so that the vector may change under us; the shared
        // pointers keep each callback alive while it runs, even when it
        // unsubscribes itself.
        auto state = state_;
        const auto snapshot = state->entries;
        for (const auto& entry : snapshot) {
            if (entry->active) {
                entry->observer(args...);
            }
        }
    }

    std::size_t size() const { return state_->entries.size(); }

  private:
    struct Entry {
        Observer observer;
        bool active;
    };
    struct State {
        std::vector<std::shared_ptr<Entry>> entries;
    };

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace tessera
