#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "support/Executor.h"
#include "support/ObserverList.h"

namespace tessera {

// The level of one block of microphone samples (the first channel, 32-bit
// float): 0 at −50 dBFS and below, 1 at full scale, linear in decibels between.
// No allocation; any thread.
double micLevelOf(const float* samples, std::size_t count);

// The shown level after a new block's level `v`: a rise shows at once, a fall
// closes 30 % of the gap per block.
double smoothedMicLevel(double current, double v);

// A running audio input for the meter: blocks of first-channel float samples
// from the chosen or default microphone.
class MicLevelInput {
  public:
    using OnBlock = std::function<void(const float* samples, std::size_t count)>;
    virtual ~MicLevelInput() = default;
    // Starts delivering blocks on the input's own thread. False (and no
    // blocks) when there is no input device or it cannot be opened.
    virtual bool start(OnBlock onBlock) = 0;
    // Stops; no block is delivered after it returns.
    virtual void stop() = 0;
};

// Shows that the microphone hears the user: a smoothed level between 0 and 1.
//
// start, stop and every read and change of level and isActive happen on the
// main executor's thread; the level step runs on the input's thread and
// publishes through the executor.
class MicLevelMeter {
  public:
    struct Ports {
        Executor& main;
        // Makes a new input; none when no input device exists.
        std::function<std::unique_ptr<MicLevelInput>()> makeInput;
        // Whether microphone access is granted now; never prompts.
        std::function<bool()> isAuthorized;
    };
    explicit MicLevelMeter(Ports ports);
    ~MicLevelMeter();
    MicLevelMeter(const MicLevelMeter&) = delete;
    MicLevelMeter& operator=(const MicLevelMeter&) = delete;

    // Starts metering if access is granted and an input starts; reports nothing.
    void start();
    // Stops metering and sets the level to 0; nothing when idle.
    void stop();

    double level() const { return level_; }
    bool isActive() const { return isActive_; }
    // Called before level or isActive changes.
    [[nodiscard]] Subscription subscribe(std::function<void()> observer);

  private:
    // What the audio thread may reach: whether this run of the meter still
    // wants its results.
    struct Run {
        MicLevelMeter* meter;
    };

    void setLevel(double value);
    void setActive(bool value);

    Ports ports_;
    std::unique_ptr<MicLevelInput> input_;
    std::shared_ptr<Run> run_;
    double level_ = 0;
    bool isActive_ = false;
    ObserverList<> willChange_;
};

}  // namespace tessera
