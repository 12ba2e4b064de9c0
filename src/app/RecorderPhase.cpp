#include "app/RecorderPhase.h"

#include <ostream>

namespace tessera {

std::string toString(const RecorderPhase& phase) {
    switch (phase.kind()) {
        case RecorderPhase::Kind::idle:
            return "idle";
        case RecorderPhase::Kind::countingDown:
            return "countingDown";
        case RecorderPhase::Kind::preparing:
            return "preparing";
        case RecorderPhase::Kind::recording:
            return "recording";
        case RecorderPhase::Kind::paused:
            return "paused";
        case RecorderPhase::Kind::finishing:
            return "finishing";
        case RecorderPhase::Kind::done:
            return "done";
        case RecorderPhase::Kind::error:
            return "error(\"" + phase.message() + "\")";
    }
    return "unknown";
}

std::ostream& operator<<(std::ostream& out, const RecorderPhase& phase) {
    return out << toString(phase);
}

}  // namespace tessera
