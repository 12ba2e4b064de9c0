#pragma once

// Maps capture timestamps (host clock) onto the recording timeline: zero at the
// first accepted video frame, with every paused interval cut out. Video frames
// anchor and advance it; audio buffers are only shifted.
//
// Pure arithmetic, no lock: every call on one retimer must come from its owner's
// serial queue. Never blocks, never touches a writer.

#include <optional>
#include <string_view>

#include "media/MediaSample.h"
#include "support/HostClock.h"
#include "support/MediaTime.h"
#include "support/SerialQueue.h"

namespace tessera {

class TimelineRetimer {
  public:
    // A frame more than this far behind the end of the previous one is dropped.
    static constexpr MediaTime kMaxVideoLag{1, 4};
    // Duration assumed for a frame without a usable duration.
    static constexpr MediaTime kDefaultFrameDuration{1, 30};

    // The frame's time on the timeline, or nothing when it is to be dropped
    // (paused, or too far behind). Reads only the timing; updates the retimer.
    std::optional<MediaTime> videoTime(const SampleTiming& timing);
    std::optional<MediaTime> videoTime(const VideoSample& sample) {
        return videoTime(sample.timing);
    }

    // A copy of the buffer with every timing entry moved onto the timeline
    // (payload shared), or nothing when the buffer has no timing or starts before
    // zero. Does not consult anchored() or isPaused(): callers pass audio only
    // while anchored and running.
    std::optional<AudioSample> retimedAudio(const AudioSample& sample) const;

    // Pause and resume steps, given the host-clock time at which they run.
    void pause(MediaTime now);
    void resume(MediaTime now);

    // Where the timeline ends if recording stops at host time now: while
    // running, the later of the last frame's end and now; while paused, the
    // later of the last frame's end and the pause, so a screen that stood
    // still before the pause keeps its time. Meaningful only once anchored.
    MediaTime timelineEnd(MediaTime now) const;

    // The timeline time of a host time, or nothing before the anchor and
    // while paused (paused time is not on the timeline).
    std::optional<MediaTime> timelineTime(MediaTime hostTime) const;

    // A frame its owner wrote without asking videoTime() (the last picture
    // repeated): the video then ends no earlier than `end`.
    void extendVideoEnd(MediaTime end);

    bool anchored() const { return anchored_; }
    bool isPaused() const { return isPaused_; }
    MediaTime lastVideoEnd() const { return lastVideoEnd_; }

  private:
    bool anchored_ = false;
    bool isPaused_ = false;
    MediaTime shift_ = MediaTime::zero();
    MediaTime pauseStart_ = MediaTime::zero();
    MediaTime lastVideoEnd_ = MediaTime::zero();
};

enum class TimelineStep { pause, resume, stop };

// Pause, resume and stop (a pause that is never resumed) are stamped now, on
// the calling thread, and carried out on `queue`, the retimer's owner, behind
// the samples already waiting there: the cut is where the user made it
// however far behind the queue runs. A step that runs more than a quarter of
// a second late is logged under `component`: the machine is not keeping up.
void queueTimelineStep(SerialQueue& queue, TimelineRetimer& retimer, const HostClock& clock,
                       std::string_view component, TimelineStep step);

}  // namespace tessera
