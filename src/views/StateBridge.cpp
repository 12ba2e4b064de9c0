#include "views/StateBridge.h"

#include <QMetaObject>

namespace tessera::views {

StateBridge::StateBridge(AppState& state, QObject* parent)
    : QObject(parent), stateSubscription_(state.subscribe([this] { schedule(); })) {}

void StateBridge::watch(MicLevelMeter& meter) {
    meterSubscription_ = meter.subscribe([this] { schedule(); });
}

void StateBridge::schedule() {
    if (pending_) {
        return;
    }
    pending_ = true;
    // Queued on this object, so it is dropped with the bridge.
    QMetaObject::invokeMethod(
        this,
        [this] {
            pending_ = false;
            emit changed();
        },
        Qt::QueuedConnection);
}

}  // namespace tessera::views
