#include "platform/pulse/PulseMicrophoneSource.h"

#include "platform/pulse/PulseContext.h"
#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera {

std::vector<CaptureDeviceOption> PulseMicrophoneSource::devices() {
    std::vector<CaptureDeviceOption> microphones;
    try {
        PulseContext pulse("Tessera Recorder");
        for (const auto& source : pulse.sources()) {
            if (!source.isMonitor) {
                microphones.push_back(
                    {source.name, source.description.empty() ? source.name : source.description});
            }
        }
    } catch (const RecorderError&) {
        // Without an audio server there are no microphones to offer; the
        // discovery port reports that as an empty list.
        logging::handled("pulse", "no microphones listed", std::current_exception(),
                         logging::Level::info);
        return {};
    }
    return microphones;
}

}  // namespace tessera
