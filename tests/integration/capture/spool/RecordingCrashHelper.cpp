// Records the screen of $DISPLAY into the web app at argv[1] with a local copy
// under $XDG_STATE_HOME, and never stops: a test kills it mid-recording. It
// reports on stdout, one line each, "recording", "elapsed <seconds>" and
// "segment <count> <bytes so far>".

#include <cstdio>
#include <cstdlib>

#include "SpoolSessionRig.h"

int main(int argc, char** argv) {
    using namespace tessera;
    using namespace tessera::testing;
    if (argc != 2 || !std::getenv("DISPLAY")) {
        std::fprintf(stderr, "usage: DISPLAY=:n %s <server base URL>\n", argv[0]);
        return 2;
    }
    SpoolSessionRig rig(std::getenv("DISPLAY"), argv[1], LocalCopyFolders::fromEnvironment());
    rig.media.onSegment = [](int count, std::uint64_t bytes) {
        std::printf("segment %d %llu\n", count, static_cast<unsigned long long>(bytes));
        std::fflush(stdout);
    };
    rig.controller->start();
    if (!rig.runUntilPhase(RecorderPhase::Kind::recording, 60)) {
        std::fprintf(stderr, "no recording: %s\n", rig.state->phase().message().c_str());
        return 1;
    }
    std::printf("recording\n");
    std::fflush(stdout);
    double reported = -1;
    while (true) {
        rig.runUntil([&] { return rig.state->elapsed() != reported; }, 5);
        reported = rig.state->elapsed();
        std::printf("elapsed %.1f\n", reported);
        std::fflush(stdout);
    }
}
