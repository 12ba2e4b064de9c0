#include "overlays/Countdown.h"

#include <algorithm>

#include "support/Log.h"

namespace tessera::overlays {

Countdown::Countdown(PanelFactory makePanel) : makePanel_(std::move(makePanel)) {}

Countdown::~Countdown() {
    close();
}

void Countdown::setOnCancel(std::function<void()> action) {
    onCancel_ = std::move(action);
}

void Countdown::show(std::uint32_t displayID, int seconds) {
    if (panel_) {
        return;
    }
    count_ = seconds;
    panel_ = makePanel_(*this);
    if (panel_) {
        panel_->open(displayID, count_);
    }
}

void Countdown::cancel() {
    // A copy: the owner may drop this countdown from its cancel action.
    if (auto action = onCancel_) {
        action();
    }
}

void Countdown::close() {
    if (auto panel = std::move(panel_)) {
        panel->dismiss();
    }
}

void Countdown::publish() {
    if (panel_) {
        panel_->showProgress(count_, progress_);
    }
}

Task<void> Countdown::run(int seconds) {
    const TaskContext context = co_await currentContext();
    Executor& clock = *context.executor;
    skipped_ = false;
    count_ = seconds;
    progress_ = 0;
    publish();
    const TimePoint start = clock.now();
    try {
        while (true) {
            co_await sleepFor(kTick);
            if (skipped_) {
                break;
            }
            const double elapsed = toSeconds(clock.now() - start);
            if (elapsed >= seconds) {
                break;
            }
            progress_ = elapsed / seconds;
            count_ = std::max(1, seconds - static_cast<int>(elapsed));
            publish();
        }
    } catch (const CancelledError&) {
        close();
        throw;
    }
    close();
}

}  // namespace tessera::overlays
