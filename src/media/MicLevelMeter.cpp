#include "media/MicLevelMeter.h"

#include <algorithm>
#include <cmath>

namespace tessera {

double micLevelOf(const float* samples, std::size_t count) {
    if (samples == nullptr || count == 0) {
        return 0;
    }
    float sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += samples[i] * samples[i];
    }
    const float rms = std::sqrt(sum / static_cast<float>(count));
    const double v = (20.0 * std::log10(std::max(rms, 0.00001f)) + 50.0) / 50.0;
    return std::clamp(v, 0.0, 1.0);
}

double smoothedMicLevel(double current, double v) {
    if (!(current > v)) {
        return v;
    }
    return 0.3 * v + 0.7 * current;
}

MicLevelMeter::MicLevelMeter(Ports ports) : ports_(std::move(ports)) {}

MicLevelMeter::~MicLevelMeter() {
    if (input_) {
        input_->stop();
    }
}

Subscription MicLevelMeter::subscribe(std::function<void()> observer) {
    return willChange_.subscribe(std::move(observer));
}

void MicLevelMeter::start() {
    if (input_) {
        return;
    }
    if (!ports_.isAuthorized || !ports_.isAuthorized()) {
        return;
    }
    auto input = ports_.makeInput ? ports_.makeInput() : nullptr;
    if (!input) {
        return;
    }
    auto run = std::make_shared<Run>(Run{this});
    std::weak_ptr<Run> weakRun = run;
    Executor& main = ports_.main;
    const bool started = input->start([weakRun, &main](const float* samples, std::size_t count) {
        if (count == 0 || weakRun.expired()) {
            return;
        }
        const double v = micLevelOf(samples, count);
        main.post([weakRun, v] {
            // A block that arrives after stop() (or after the meter is gone)
            // is dropped: the run it belongs to has ended.
            if (auto run = weakRun.lock()) {
                run->meter->setLevel(smoothedMicLevel(run->meter->level_, v));
            }
        });
    });
    if (!started) {
        return;  // no device, or it cannot be opened: stay idle, say nothing
    }
    input_ = std::move(input);
    run_ = std::move(run);
    setActive(true);
}

void MicLevelMeter::stop() {
    if (!input_) {
        return;
    }
    input_->stop();
    input_.reset();
    run_.reset();
    setActive(false);
    setLevel(0);
}

void MicLevelMeter::setLevel(double value) {
    willChange_.notify();
    level_ = value;
}

void MicLevelMeter::setActive(bool value) {
    willChange_.notify();
    isActive_ = value;
}

}  // namespace tessera
