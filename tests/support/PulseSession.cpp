#include "PulseSession.h"

#include <fcntl.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <numbers>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tessera::testing {

PulseSession::PulseSession() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessera-pulse-XXXXXX");
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    directory_ = pattern;
    const std::string socket = directory_ + "/native";
    server_ = "unix:" + socket;
    daemon_ = fork();
    if (daemon_ == 0) {
        // The daemon keeps its state, cookie and runtime files in the folder.
        setenv("HOME", directory_.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", directory_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", directory_.c_str(), 1);
        unsetenv("DISPLAY");
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        const std::string protocol =
            "module-native-protocol-unix auth-anonymous=1 socket=" + socket;
        // As root the daemon warns but runs; --system=false keeps it a
        // per-user daemon.
        execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--system=false",
               "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no", "-L",
               "module-null-sink sink_name=tessera_null rate=48000 channels=2 "
               "sink_properties=device.description=Null",
               "-L",
               // A property value with a space needs quotes inside the
               // module argument; a backslash is not an escape there.
               "module-remap-source source_name=tessera_mic master=tessera_null.monitor "
               "source_properties='device.description=\"Test Microphone\"'",
               "-L", protocol.c_str(), "-L", "module-always-sink", static_cast<char*>(nullptr));
        _exit(127);
    }
    // The daemon is ready once its socket accepts clients.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(socket)) {
        if (std::chrono::steady_clock::now() > deadline ||
            waitpid(daemon_, nullptr, WNOHANG) == daemon_) {
            throw std::runtime_error("pulseaudio did not start");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    setenv("PULSE_SERVER", server_.c_str(), 1);
}

PulseSession::~PulseSession() {
    unsetenv("PULSE_SERVER");
    kill(daemon_, SIGTERM);
    for (int i = 0; i < 100 && waitpid(daemon_, nullptr, WNOHANG) != daemon_; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (waitpid(daemon_, nullptr, WNOHANG) == 0) {
        kill(daemon_, SIGKILL);
        waitpid(daemon_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(directory_, ec);
}

void PulseSession::removeMicrophone() {
    const std::string command =
        "PULSE_SERVER='" + server_ + "' pactl unload-module module-remap-source";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("could not unload the fake microphone");
    }
}

void PulseSession::suspendSink(bool suspended) {
    const std::string command =
        "PULSE_SERVER='" + server_ + "' pactl suspend-sink tessera_null " + (suspended ? "1" : "0");
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("could not suspend or resume the null sink");
    }
}

void PulseSession::addSink(const std::string& name) {
    const std::string command = "PULSE_SERVER='" + server_ +
                                "' pactl load-module module-null-sink sink_name=" + name +
                                " rate=48000 channels=2 >/dev/null";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("could not add the sink " + name);
    }
}

TonePlayer::TonePlayer(double frequency, double amplitude, const std::string& sink) {
    std::promise<void> opened;
    auto ready = opened.get_future();
    thread_ = std::jthread([frequency, amplitude, sink,
                            opened = std::move(opened)](std::stop_token stop) mutable {
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
        int error = 0;
        // 200 ms buffered: enough for a busy machine to keep it filled, and
        // the sink then renders no further ahead than that.
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<uint32_t>(-1);
        attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(200'000, &spec));
        attributes.prebuf = static_cast<uint32_t>(-1);
        attributes.minreq = static_cast<uint32_t>(-1);
        attributes.fragsize = static_cast<uint32_t>(-1);
        pa_simple* out = pa_simple_new(nullptr, "tessera-test-tone", PA_STREAM_PLAYBACK,
                                       sink.c_str(), "tone", &spec, nullptr, &attributes, &error);
        if (!out) {
            opened.set_exception(std::make_exception_ptr(
                std::runtime_error(std::string("tone player: ") + pa_strerror(error))));
            return;
        }
        opened.set_value();
        // 10 ms per write; pa_simple_write blocks, which paces the loop.
        std::vector<float> block(480 * 2);
        int64_t frame = 0;
        while (!stop.stop_requested()) {
            for (size_t i = 0; i < 480; ++i, ++frame) {
                const auto v = static_cast<float>(
                    amplitude * std::sin(2 * std::numbers::pi * frequency * frame / 48000.0));
                block[2 * i] = v;
                block[2 * i + 1] = v;
            }
            if (pa_simple_write(out, block.data(), block.size() * sizeof(float), &error) < 0) {
                break;
            }
        }
        pa_simple_free(out);
    });
    ready.get();
    waitUntilHeard(sink, amplitude);
}

// An idle sink renders up to two seconds ahead, and its monitor hands a new
// recording only what the sink renders after it connected: a recording
// started right away would begin with up to two seconds of silence. Listening
// on the monitor until the tone comes through waits out what was rendered
// before.
void TonePlayer::waitUntilHeard(const std::string& sink, double amplitude) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(10'000, &spec));
    int error = 0;
    pa_simple* in = pa_simple_new(nullptr, "tessera-test-tone-check", PA_STREAM_RECORD,
                                  (sink + ".monitor").c_str(), "tone check", &spec, nullptr,
                                  &attributes, &error);
    if (!in) {
        throw std::runtime_error(std::string("tone check: ") + pa_strerror(error));
    }
    std::vector<float> block(480 * 2);
    // At most ten seconds of audio.
    for (int i = 0; i < 1000; ++i) {
        if (pa_simple_read(in, block.data(), block.size() * sizeof(float), &error) < 0) {
            break;
        }
        for (float v : block) {
            if (std::abs(v) > amplitude / 2) {
                pa_simple_free(in);
                return;
            }
        }
    }
    pa_simple_free(in);
    throw std::runtime_error("the tone did not come through the monitor of " + sink);
}

TonePlayer::~TonePlayer() {
    thread_.request_stop();
}

}  // namespace tessera::testing
