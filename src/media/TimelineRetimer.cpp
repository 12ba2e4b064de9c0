#include "media/TimelineRetimer.h"

#include <cstdio>

#include "support/Log.h"

namespace tessera {

std::optional<MediaTime> TimelineRetimer::videoTime(const SampleTiming& timing) {
    if (isPaused_) {
        return std::nullopt;
    }
    const MediaTime pts = timing.presentationTimeStamp;
    if (!pts.isValid()) {
        // A frame without a capture time cannot be placed; it must not anchor.
        return std::nullopt;
    }
    if (!anchored_) {
        shift_ = pts;
        anchored_ = true;
    }
    const MediaTime t = pts - shift_;
    if (lastVideoEnd_ - t > kMaxVideoLag) {
        return std::nullopt;
    }
    const MediaTime& duration = timing.duration;
    const MediaTime d =
        (duration.isValid() && duration.value() > 0) ? duration : kDefaultFrameDuration;
    lastVideoEnd_ = t + d;
    return t;
}

std::optional<AudioSample> TimelineRetimer::retimedAudio(const AudioSample& sample) const {
    if (sample.timings.empty()) {
        return std::nullopt;
    }
    std::vector<SampleTiming> timings = sample.timings;
    for (SampleTiming& entry : timings) {
        entry.presentationTimeStamp = entry.presentationTimeStamp - shift_;
        if (entry.decodeTimeStamp.isValid()) {
            entry.decodeTimeStamp = entry.decodeTimeStamp - shift_;
        }
    }
    const MediaTime& first = timings.front().presentationTimeStamp;
    if (!first.isValid() || first < MediaTime::zero()) {
        return std::nullopt;
    }
    return sample.withTimings(std::move(timings));
}

void TimelineRetimer::pause(MediaTime now) {
    if (isPaused_) {
        return;
    }
    isPaused_ = true;
    pauseStart_ = now;
}

void TimelineRetimer::resume(MediaTime now) {
    if (!isPaused_) {
        return;
    }
    isPaused_ = false;
    const MediaTime gap = now - pauseStart_;
    if (gap.isValid() && gap > MediaTime::zero()) {
        shift_ = shift_ + gap;
    }
}

MediaTime TimelineRetimer::timelineEnd(MediaTime now) const {
    MediaTime end = lastVideoEnd_;
    const MediaTime live = (isPaused_ ? pauseStart_ : now) - shift_;
    if (live.isValid() && live > end) {
        end = live;
    }
    return end;
}

std::optional<MediaTime> TimelineRetimer::timelineTime(MediaTime hostTime) const {
    if (!anchored_ || isPaused_ || !hostTime.isValid()) {
        return std::nullopt;
    }
    return hostTime - shift_;
}

void TimelineRetimer::extendVideoEnd(MediaTime end) {
    if (end.isValid() && end > lastVideoEnd_) {
        lastVideoEnd_ = end;
    }
}

void queueTimelineStep(SerialQueue& queue, TimelineRetimer& retimer, const HostClock& clock,
                       std::string_view component, TimelineStep step) {
    queue.async([&retimer, &clock, component, step, at = clock.now()] {
        const MediaTime late = clock.now() - at;
        if (late.isValid() && late > MediaTime(1, 4)) {
            const char* name = step == TimelineStep::pause    ? "pause"
                               : step == TimelineStep::resume ? "resume"
                                                              : "stop";
            char text[96];
            std::snprintf(text, sizeof text, "the %s step ran %.0f ms after it was asked for", name,
                          late.seconds() * 1000);
            logging::info(component, text);
        }
        if (step == TimelineStep::resume) {
            retimer.resume(at);
        } else {
            retimer.pause(at);
        }
    });
}

}  // namespace tessera
