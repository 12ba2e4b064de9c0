#pragma once

#include <QObject>

#include "app/AppState.h"
#include "media/MicLevelMeter.h"
#include "support/ObserverList.h"

namespace tessera::views {

// Turns the state's "about to change" notifications into one queued Qt signal
// per turn of the event loop, delivered after the change has been applied, so
// that a view reading the state in its slot sees the new values. A burst of
// changes in one turn gives one signal. Main thread.
class StateBridge : public QObject {
    Q_OBJECT

  public:
    explicit StateBridge(AppState& state, QObject* parent = nullptr);
    // Also follows the microphone level meter.
    void watch(MicLevelMeter& meter);

  signals:
    void changed();

  private:
    void schedule();

    Subscription stateSubscription_;
    Subscription meterSubscription_;
    bool pending_ = false;
};

}  // namespace tessera::views
