// Audio-video sync markers for long recordings of the whole program.
//
//   bench_av_marker play --sink NAME --x X --y Y --width W --height H
//     Shows a dark override-redirect window on $DISPLAY and plays silence into
//     the PulseAudio sink without a break. Each "mark" line on stdin makes a
//     1 kHz beep and turns the window white at the host time the beep's first
//     sample sounds; it answers "marker <ms>" with how late the white reached
//     the X server after the beep. "quit" ends it. Prints "ready" first.
//
//   bench_av_marker analyse FILE.mp4 [SECONDS:LAG_MS...]
//     Decodes the recording and prints each flash (the picture's centre turns
//     bright) and each beep onset, and for each marker (given by its time
//     after the recording started and its painting lag) the video's offset
//     behind the audio once the flash's own painting lag is taken off.

#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BeepPlayer.h"
#include "MediaProbe.h"

namespace {

using Clock = std::chrono::steady_clock;
using tessera::testing::BeepPlayer;
using tessera::testing::onsets;

constexpr std::uint32_t kDark = 0x202020;
constexpr std::uint32_t kWhite = 0xFFFFFF;

// One window filled with a single colour; fill() returns once the X server has
// painted it (a round trip after the request).
class MarkerWindow {
  public:
    MarkerWindow(int x, int y, int width, int height) : width_(width), height_(height) {
        connection_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(connection_) != 0) {
            throw std::runtime_error("cannot open the X display");
        }
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        window_ = xcb_generate_id(connection_);
        const std::uint32_t values[] = {kDark, 1};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root,
                          static_cast<int16_t>(x), static_cast<int16_t>(y),
                          static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        gc_ = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc_, window_, 0, nullptr);
        xcb_map_window(connection_, window_);
        fill(kDark);
    }
    ~MarkerWindow() { xcb_disconnect(connection_); }

    void fill(std::uint32_t color) {
        xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &color);
        const xcb_rectangle_t all{0, 0, static_cast<uint16_t>(width_),
                                  static_cast<uint16_t>(height_)};
        xcb_poly_fill_rectangle(connection_, window_, gc_, 1, &all);
        std::free(
            xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

  private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t window_ = 0;
    xcb_gcontext_t gc_ = 0;
    int width_;
    int height_;
};

std::string option(int argc, char** argv, const std::string& name, const char* fallback) {
    for (int i = 2; i + 1 < argc; ++i) {
        if (argv[i] == name) {
            return argv[i + 1];
        }
    }
    if (!fallback) {
        throw std::runtime_error("missing " + name);
    }
    return fallback;
}

int play(int argc, char** argv) {
    MarkerWindow window(std::stoi(option(argc, argv, "--x", nullptr)),
                        std::stoi(option(argc, argv, "--y", nullptr)),
                        std::stoi(option(argc, argv, "--width", "240")),
                        std::stoi(option(argc, argv, "--height", "180")));
    BeepPlayer beeper(option(argc, argv, "--sink", "tessera_null"));
    std::printf("ready\n");
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "quit") {
            break;
        }
        if (line != "mark") {
            continue;
        }
        const auto at = beeper.beep();
        std::this_thread::sleep_until(at);
        window.fill(kWhite);
        const double lag = std::chrono::duration<double, std::milli>(Clock::now() - at).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        window.fill(kDark);
        std::printf("marker %.1f\n", lag);
        std::fflush(stdout);
    }
    return 0;
}

// The onset in `times` nearest to `at`, if one lies within `window` seconds.
std::optional<double> nearest(const std::vector<double>& times, double at, double window) {
    std::optional<double> best;
    for (double t : times) {
        if (std::abs(t - at) <= window && (!best || std::abs(t - at) < std::abs(*best - at))) {
            best = t;
        }
    }
    return best;
}

int analyse(int argc, char** argv) {
    if (argc < 3) {
        throw std::runtime_error("analyse needs a file");
    }
    // Each marker as "<seconds after the recording started>:<painting lag in ms>".
    struct Marker {
        double at = 0;
        double lag = 0;
    };
    std::vector<Marker> markers;
    for (int i = 3; i < argc; ++i) {
        const std::string value = argv[i];
        const auto colon = value.find(':');
        if (colon == std::string::npos) {
            throw std::runtime_error("a marker is <seconds>:<lag ms>, not " + value);
        }
        markers.push_back(
            {std::stod(value.substr(0, colon)), std::stod(value.substr(colon + 1)) / 1000});
    }
    const auto probe = tessera::testing::probeFile(argv[2]);
    if (!probe.video || !probe.audio) {
        throw std::runtime_error("the file lacks a video or an audio track");
    }
    const auto flashes =
        onsets(probe.video->centreLuma, 0, 100, 200, 1, &probe.video->frameSeconds);
    const auto beeps = onsets(probe.audio->peakPerMillisecond, 0.001, 0.05, 0.3, 300, nullptr, 5);
    std::printf("video %.3f..%.3f s, %lld frames; audio %.3f..%.3f s\n", probe.video->startSeconds,
                probe.video->endSeconds, static_cast<long long>(probe.video->decodedFrames),
                probe.audio->startSeconds, probe.audio->endSeconds);
    auto show = [](const char* what, const std::vector<double>& times) {
        std::printf("%s:", what);
        for (double t : times) {
            std::printf(" %.3f", t);
        }
        std::printf("\n");
    };
    show("flashes", flashes);
    show("beeps", beeps);
    // Media time starts a second or two before the moment the script counts
    // from. That shift is the one that puts the most beeps within 0.3 s of
    // their markers' times (markers are 1.5 s or more apart); each marker's
    // beep is then the one nearest its shifted time, and its flash the one
    // nearest that beep.
    double shift = 0;
    size_t bestHits = 0;
    for (double beep : beeps) {
        for (const Marker& marker : markers) {
            const double candidate = beep - marker.at;
            size_t hits = 0;
            for (const Marker& other : markers) {
                hits += nearest(beeps, other.at + candidate, 0.3).has_value() ? 1 : 0;
            }
            if (hits > bestHits) {
                bestHits = hits;
                shift = candidate;
            }
        }
    }
    std::printf("media time = script time %+.3f s\n", shift);
    std::vector<double> early;
    std::vector<double> late;
    for (size_t i = 0; i < markers.size(); ++i) {
        const auto beep = nearest(beeps, markers[i].at + shift, 0.3);
        const auto flash = beep ? nearest(flashes, *beep, 0.5) : std::nullopt;
        if (!flash || !beep) {
            std::printf("marker %zu at %.1f s: %s\n", i, markers[i].at,
                        !beep ? "no beep found" : "no flash found");
            continue;
        }
        const double offset = *flash - *beep - markers[i].lag;
        (i < markers.size() / 2 ? early : late).push_back(offset);
        std::printf(
            "marker %zu: flash %.3f s, beep %.3f s, painted %.1f ms late; "
            "video behind audio by %+.1f ms\n",
            i, *flash, *beep, markers[i].lag * 1000, offset * 1000);
    }
    // The first half of the markers against the second half: how far the
    // offset moved over the recording.
    auto mean = [](const std::vector<double>& values) {
        double sum = 0;
        for (double v : values) {
            sum += v;
        }
        return sum / static_cast<double>(values.size());
    };
    if (!early.empty() && !late.empty()) {
        std::printf(
            "drift: mean offset %+.1f ms at the start, %+.1f ms at the end, moved by "
            "%+.1f ms\n",
            mean(early) * 1000, mean(late) * 1000, (mean(late) - mean(early)) * 1000);
    }
    return early.size() + late.size() == markers.size() ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "play") {
            return play(argc, argv);
        }
        if (mode == "analyse") {
            return analyse(argc, argv);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_av_marker: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: bench_av_marker play [--sink S] --x X --y Y [--width W --height H]\n"
                 "       bench_av_marker analyse FILE.mp4 [SECONDS:LAG_MS...]\n");
    return 64;
}
