#include <gtest/gtest.h>
#include <pulse/simple.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "media/MicLevelMeter.h"
#include "platform/pulse/PulseAudioCapture.h"
#include "platform/pulse/PulseMicLevelInput.h"
#include "platform/pulse/PulseMicrophoneSource.h"
#include "support/Cancellation.h"
#include "support/Log.h"
#include "support/ManualExecutor.h"
#include "support/PulseSession.h"
#include "support/RecorderError.h"
#include "support/WaitUntil.h"

namespace tessera {
namespace {

using std::chrono::seconds;
using testing::PulseSession;
using testing::TonePlayer;
using testing::waitUntil;

// What one capture delivered, filled on the mainloop thread.
struct Collector {
    PulseAudioCapture::Callbacks callbacks() {
        return {[this](AudioSample sample) {
                    std::lock_guard lock(mutex);
                    frames += sample.frameCount;
                    samples.push_back(std::move(sample));
                },
                [this](std::exception_ptr e) {
                    std::lock_guard lock(mutex);
                    error = describeError(e);
                }};
    }
    template <class T>
    T read(T Collector::*field) {
        std::lock_guard lock(mutex);
        return this->*field;
    }
    bool waitForFrames(int64_t count) {
        return waitUntil([&] { return read(&Collector::frames) >= count; }, seconds(10));
    }

    std::mutex mutex;
    int64_t frames = 0;
    std::vector<AudioSample> samples;
    std::string error;
};

// RMS of the left channel over the last `frames` frames delivered.
double leftRms(const std::vector<AudioSample>& samples, int64_t frames) {
    std::vector<float> left;
    for (const auto& s : samples) {
        const auto* data = reinterpret_cast<const float*>(s.payload->data());
        for (int64_t i = 0; i < s.frameCount; ++i) {
            left.push_back(data[2 * i]);
        }
    }
    const size_t n = std::min(left.size(), static_cast<size_t>(frames));
    double sum = 0;
    for (size_t i = left.size() - n; i < left.size(); ++i) {
        sum += double{left[i]} * left[i];
    }
    return n ? std::sqrt(sum / static_cast<double>(n)) : 0;
}

// Plays `silentFrames` of silence into `sink`, then, with `beep`, a 50 ms
// beep and the silence again, and returns once all was heard. The beep is
// heard at the time returned: everything written before it plays first, and
// that takes the stream's latency.
MediaTime play(const char* sink, size_t silentFrames, bool beep) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
    int error = 0;
    pa_simple* out = pa_simple_new(nullptr, "tessera-test", PA_STREAM_PLAYBACK, sink, "test", &spec,
                                   nullptr, nullptr, &error);
    if (!out) {
        ADD_FAILURE() << pa_strerror(error);
        return MediaTime::invalid();
    }
    const std::vector<float> silence(silentFrames * 2, 0.0f);
    const auto write = [&](const std::vector<float>& samples) {
        EXPECT_EQ(pa_simple_write(out, samples.data(), samples.size() * sizeof(float), &error), 0);
    };
    write(silence);
    MediaTime heard = MediaTime::invalid();
    if (beep) {
        std::vector<float> tone(2400 * 2);
        for (size_t i = 0; i < 2400; ++i) {
            tone[2 * i] = tone[2 * i + 1] =
                static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000 * i / 48000.0));
        }
        const pa_usec_t latencyUs = pa_simple_get_latency(out, &error);
        heard = hostTimeNow() + MediaTime(static_cast<int64_t>(latencyUs), 1'000'000);
        write(tone);
        write(silence);
    }
    EXPECT_EQ(pa_simple_drain(out, &error), 0);
    pa_simple_free(out);
    return heard;
}

// The host time of the first frame louder than `threshold`.
std::optional<MediaTime> onset(const std::vector<AudioSample>& samples, float threshold) {
    for (const auto& s : samples) {
        const auto* data = reinterpret_cast<const float*>(s.payload->data());
        for (int64_t i = 0; i < s.frameCount; ++i) {
            if (std::abs(data[2 * i]) > threshold) {
                return s.presentationTimeStamp() + MediaTime(i, 48000);
            }
        }
    }
    return std::nullopt;
}

class PulseCaptureTest : public ::testing::Test {
  protected:
    PulseSession pulse;
    SystemHostClock clock;
};

// Stamps follow the host clock and the sample count. A record stream hands out
// audio a fragment and the device's latency after it was captured; stopping
// must still deliver up to the moment of the stop, and no further. The level
// meter's input (whose level the whole-session test reads) needs no such tail
// and stops at once.
TEST_F(PulseCaptureTest, SystemAudioArrivesStampedUpToTheStopAndTheMeterStopsAtOnce) {
    TonePlayer tone(440, 0.5);
    {
        SCOPED_TRACE("system audio");
        Collector collected;
        PulseAudioCapture capture(PulseCaptureSource::systemAudio(), clock, collected.callbacks());
        const MediaTime before = hostTimeNow();
        capture.start();
        EXPECT_EQ(capture.deviceName(), "tessera_null.monitor");
        ASSERT_TRUE(collected.waitForFrames(48000));
        const double beforeStop = hostTimeNow().seconds();
        capture.stop();
        const double afterStop = hostTimeNow().seconds();

        const auto samples = collected.read(&Collector::samples);
        ASSERT_FALSE(samples.empty());
        for (const auto& s : samples) {
            ASSERT_TRUE(s.hasConsistentPayload());
            EXPECT_EQ(s.format->sampleRate, 48000);
            EXPECT_EQ(s.format->channels, 2);
        }
        // Stamps lie between the start and the stop, and follow the sample
        // count; a few re-anchorings are allowed for a machine that stalled.
        EXPECT_GE(samples.front().presentationTimeStamp().seconds(), before.seconds() - 0.5);
        int departures = 0;
        for (size_t i = 1; i < samples.size(); ++i) {
            const double expected = samples[i - 1].presentationTimeStamp().seconds() +
                                    static_cast<double>(samples[i - 1].frameCount) / 48000;
            departures +=
                std::abs(samples[i].presentationTimeStamp().seconds() - expected) > 0.0001;
        }
        EXPECT_LE(departures, static_cast<int>(samples.size() / 10));
        const auto& last = samples.back();
        const double end =
            last.presentationTimeStamp().seconds() + static_cast<double>(last.frameCount) / 48000;
        EXPECT_GE(end, beforeStop - 0.002) << "missing " << (beforeStop - end) * 1000 << " ms";
        EXPECT_LE(end, afterStop + 0.001);
        // A sine of amplitude 0.5 has an RMS of 0.354, up to the last samples:
        // what came last is the tone itself, not filler.
        EXPECT_NEAR(leftRms(samples, 24000), 0.5 / std::sqrt(2.0), 0.03);
        EXPECT_NEAR(leftRms(samples, 240), 0.5 / std::sqrt(2.0), 0.05);
    }
    SCOPED_TRACE("level meter");
    ManualExecutor main;
    const auto meterOn = [&](std::string source) {
        return std::make_unique<MicLevelMeter>(MicLevelMeter::Ports{
            main, PulseMicLevelInput::factory([source] { return source; }), [] {
                return true;
            }});
    };
    auto gone = meterOn("gone");
    gone->start();
    EXPECT_FALSE(gone->isActive());

    // The meter needs no tail of audio, so it stops at once instead of
    // waiting for audio still on its way: that wait held up the user
    // interface at the start of every recording, and with a microphone that
    // delivers nothing (here: its sink suspended) it ran out and said so.
    std::vector<std::string> pulseLines;
    const logging::LogCapture log(
        [&](logging::Level, std::string_view component, std::string_view message) {
            if (component == "pulse") {
                pulseLines.emplace_back(message);
            }
        });
    pulse.suspendSink(true);
    auto silent = meterOn("tessera_mic");
    silent->start();
    ASSERT_TRUE(silent->isActive());
    silent->stop();
    EXPECT_EQ(pulseLines, std::vector<std::string>{});
    pulse.suspendSink(false);
}

// A sound is stamped with the host time at which it was heard (system audio)
// or captured (the microphone, here fed by the sink's monitor), so that it
// lines up with the video of the same moment. That holds from the first
// sample on, also for a source that starts delivering long after the stream
// connected (one waking from suspension, or a slow server): the case here,
// since it also covers a prompt start's stamping.
TEST_F(PulseCaptureTest, ASoundIsStampedWithTheTimeItWasHeard) {
    const struct {
        const char* what;
        PulseCaptureSource source;
    } cases[] = {
        {"system audio", PulseCaptureSource::systemAudio()},
        {"microphone", PulseCaptureSource::microphone("tessera_mic")},
    };
    pulse.addSink("tessera_other");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Collector collected;
        PulseAudioCapture capture(c.source, clock, collected.callbacks());
        pulse.suspendSink(true);
        capture.start();
        ASSERT_NE(capture.deviceName(), "tessera_other.monitor");
        // A second of audio passes on another device while the stream gets
        // nothing.
        play("tessera_other", 48000, false);
        ASSERT_EQ(collected.read(&Collector::frames), 0);
        const MediaTime woken = hostTimeNow();
        pulse.suspendSink(false);
        ASSERT_TRUE(collected.waitForFrames(4800));
        const MediaTime heard = play("tessera_null", 14400, true);
        ASSERT_TRUE(heard.isValid());
        // Everything up to well after the beep has come in.
        ASSERT_TRUE(collected.waitForFrames(collected.read(&Collector::frames) + 9600));
        capture.stop();
        const auto samples = collected.read(&Collector::samples);
        EXPECT_GE(samples.front().presentationTimeStamp().seconds(), woken.seconds() - 0.020)
            << "first sample stamped "
            << (woken.seconds() - samples.front().presentationTimeStamp().seconds()) * 1000
            << " ms before the source woke up";
        const auto found = onset(samples, 0.1f);
        ASSERT_TRUE(found.has_value()) << "no beep captured";
        EXPECT_NEAR(found->seconds(), heard.seconds(), 0.020)
            << "off by " << (found->seconds() - heard.seconds()) * 1000 << " ms";
    }
}

// The microphone list has the fake microphone but no monitor, and nothing
// without a server; sources that cannot be recorded give clear errors; the
// default microphone records at its level. (The capture stream's test
// unplugs a microphone while it records.)
TEST_F(PulseCaptureTest, MicrophonesAreListedRecordedAndRefusedClearly) {
    const auto devices = PulseMicrophoneSource().devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].id, "tessera_mic");
    EXPECT_EQ(devices[0].name, "Test Microphone");
    const auto noServer = "unix:/nonexistent/tessera/native";
    setenv("PULSE_SERVER", noServer, 1);
    EXPECT_TRUE(PulseMicrophoneSource().devices().empty());
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);

    const struct {
        const char* what;
        PulseCaptureSource source;
        const char* server;  // PULSE_SERVER, or none for the test daemon
        const char* message;
    } cases[] = {
        {"unknown microphone", PulseCaptureSource::microphone("no_such_source"), nullptr,
         "The selected microphone is not available"},
        {"monitor as microphone", PulseCaptureSource::microphone("tessera_null.monitor"), nullptr,
         "The selected microphone is not available"},
        {"no server", PulseCaptureSource::systemAudio(), noServer,
         "Could not connect to the audio server"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.server) {
            setenv("PULSE_SERVER", c.server, 1);
        }
        Collector collected;
        PulseAudioCapture capture(c.source, clock, collected.callbacks());
        try {
            capture.start();
            ADD_FAILURE() << "started";
        } catch (const RecorderError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    }

    SCOPED_TRACE("default microphone");
    TonePlayer tone(660, 0.25);
    Collector collected;
    PulseAudioCapture capture(PulseCaptureSource::microphone(), clock, collected.callbacks());
    capture.start();
    EXPECT_EQ(capture.deviceName(), "tessera_mic");
    ASSERT_TRUE(collected.waitForFrames(24000));
    EXPECT_NEAR(leftRms(collected.read(&Collector::samples), 12000), 0.25 / std::sqrt(2.0), 0.02);
    capture.stop();
}

}  // namespace
}  // namespace tessera
