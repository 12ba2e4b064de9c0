// The screen capture path alone: frames per second and CPU per frame of the
// X11 frame source (MIT-SHM grab, copy, change tracking), with and without
// painting out an excluded window, against ffmpeg's x11grab on the same
// screen, at 1920×1080 and 3840×2160. CPU counts this process and the X
// server (the server does the copying of a grab). Every frame is a changed
// one: a small rectangle is redrawn before each.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/x11/X11Displays.h"
#include "platform/x11/X11FrameSource.h"
#include "support/XvfbSession.h"

using namespace tessera;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSecondsOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double selfCpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures {
    double framesPerSecond;
    double cpuMsPerFrame;
};

// Draws a small changing rectangle so the next grab sees damage.
class Scribbler {
  public:
    Scribbler(const std::string& display, int y) : c_(display), y_(y) {
        gc_ = xcb_generate_id(c_.get());
        xcb_create_gc(c_.get(), gc_, c_.root(), 0, nullptr);
    }
    void scribble(int i) {
        const std::uint32_t pixel = 0x010101u * (i % 200);
        xcb_change_gc(c_.get(), gc_, XCB_GC_FOREGROUND, &pixel);
        const xcb_rectangle_t r{static_cast<std::int16_t>(10 + i % 100),
                                static_cast<std::int16_t>(y_), 20, 20};
        xcb_poly_fill_rectangle(c_.get(), c_.root(), gc_, 1, &r);
        std::free(xcb_get_input_focus_reply(c_.get(), xcb_get_input_focus(c_.get()), nullptr));
    }

  private:
    XcbConnection c_;
    int y_;
    xcb_gcontext_t gc_;
};

Figures measureSource(const testing::XvfbSession& x, int width, int height, bool repair, int frames,
                      int paceFps) {
    SystemHostClock clock;
    XcbConnection c(x.display());
    const auto id = X11DisplaySource::mainMonitor(X11DisplaySource::queryMonitors(c))->id;
    testing::TestWindow pattern(x.display(), {.x = 0,
                                              .y = 0,
                                              .width = width,
                                              .height = height / 2,
                                              .pattern = true,
                                              .overrideRedirect = true});
    testing::TestWindow own(x.display(), {.x = width / 4,
                                          .y = height / 8,
                                          .width = 400,
                                          .height = 300,
                                          .color = 0xFF0000,
                                          .overrideRedirect = true});
    X11CaptureTarget target{X11CaptureTarget::Kind::display, id, {}, {}};
    if (repair) {
        target.excludedWindows = {own.id()};
    }
    X11FrameSource source(x.display(), target, {width, height, 30, true, false}, clock);
    // Below the pattern window, on the root itself.
    Scribbler scribbler(x.display(), height * 3 / 4);
    source.nextFrame();
    const double serverStart = cpuSecondsOf(x.serverPid());
    const double selfStart = selfCpuSeconds(RUSAGE_SELF);
    const auto start = Clock::now();
    auto deadline = start;
    int complete = 0;
    for (int i = 0; i < frames; ++i) {
        scribbler.scribble(i);
        complete += source.nextFrame().frameStatus == FrameStatus::complete;
        if (paceFps > 0) {
            deadline += std::chrono::microseconds(1'000'000 / paceFps);
            std::this_thread::sleep_until(deadline);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu =
        (selfCpuSeconds(RUSAGE_SELF) - selfStart) + (cpuSecondsOf(x.serverPid()) - serverStart);
    if (complete != frames) {
        std::printf("  (only %d of %d frames were complete)\n", complete, frames);
    }
    return {frames / seconds, 1000 * cpu / frames};
}

Figures measureFfmpeg(const testing::XvfbSession& x, int width, int height, int frames) {
    const double serverStart = cpuSecondsOf(x.serverPid());
    const double childStart = selfCpuSeconds(RUSAGE_CHILDREN);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        const std::string count = std::to_string(frames);
        execlp("ffmpeg", "ffmpeg", "-loglevel", "error", "-f", "x11grab", "-draw_mouse", "1",
               "-framerate", "30", "-video_size", size.c_str(), "-i", x.display().c_str(),
               "-frames:v", count.c_str(), "-f", "null", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    waitpid(pid, nullptr, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = (selfCpuSeconds(RUSAGE_CHILDREN) - childStart) +
                       (cpuSecondsOf(x.serverPid()) - serverStart);
    return {frames / seconds, 1000 * cpu / frames};
}

}  // namespace

int main() {
    constexpr int kFrames = 150;
    for (const auto& [width, height] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        testing::XvfbSession x({width, height, false});
        std::printf("%dx%d\n", width, height);
        const auto free = measureSource(x, width, height, false, kFrames, 0);
        const auto freeRepair = measureSource(x, width, height, true, kFrames, 0);
        std::printf("  capture, unpaced:           %6.1f grabs/s  %6.2f ms CPU/frame\n",
                    free.framesPerSecond, free.cpuMsPerFrame);
        std::printf("  capture+repair, unpaced:    %6.1f grabs/s  %6.2f ms CPU/frame\n",
                    freeRepair.framesPerSecond, freeRepair.cpuMsPerFrame);
        const auto paced = measureSource(x, width, height, false, kFrames, 30);
        const auto pacedRepair = measureSource(x, width, height, true, kFrames, 30);
        const auto ffmpeg = measureFfmpeg(x, width, height, kFrames);
        std::printf("  capture @30:                %6.1f fps     %6.2f ms CPU/frame\n",
                    paced.framesPerSecond, paced.cpuMsPerFrame);
        std::printf("  capture+repair @30:         %6.1f fps     %6.2f ms CPU/frame\n",
                    pacedRepair.framesPerSecond, pacedRepair.cpuMsPerFrame);
        std::printf("  ffmpeg x11grab @30:         %6.1f fps     %6.2f ms CPU/frame\n",
                    ffmpeg.framesPerSecond, ffmpeg.cpuMsPerFrame);
        std::printf("  CPU ratio capture/ffmpeg: %.2f, capture+repair/ffmpeg: %.2f\n",
                    paced.cpuMsPerFrame / ffmpeg.cpuMsPerFrame,
                    pacedRepair.cpuMsPerFrame / ffmpeg.cpuMsPerFrame);
    }
}
