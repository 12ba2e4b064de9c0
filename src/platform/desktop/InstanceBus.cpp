#include "platform/desktop/InstanceBus.h"

#include <QDBusConnectionInterface>

#include "support/Log.h"

namespace tessera {

namespace {
constexpr const char* kComponent = "instance";

void call(const std::function<void()>& handler) {
    if (handler) {
        handler();
    }
}
}  // namespace

InstanceBus::InstanceBus(Handlers handlers, QDBusConnection bus)
    : handlers_(std::move(handlers)), bus_(std::move(bus)) {}

InstanceBus::~InstanceBus() {
    release();
}

bool InstanceBus::claim() {
    if (claimed_) {
        return true;
    }
    if (!bus_.isConnected() || !bus_.interface()) {
        logging::warning(kComponent,
                         "no session bus: this instance cannot be reached from outside");
        return false;
    }
    // The object is served before the name appears, so a client that sees
    // the name can call it at once.
    if (!bus_.registerObject(
            QString::fromLatin1(instance_bus::kPath), this,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)) {
        logging::warning(kComponent, "couldn't serve " + std::string(instance_bus::kPath) + ": " +
                                         bus_.lastError().message().toStdString());
        return false;
    }
    auto reply = bus_.interface()->registerService(QString::fromLatin1(instance_bus::kService),
                                                   QDBusConnectionInterface::DontQueueService,
                                                   QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        logging::info(kComponent, reply.isValid() ? "another instance owns the bus name"
                                                  : "couldn't take the bus name: " +
                                                        reply.error().message().toStdString());
        bus_.unregisterObject(QString::fromLatin1(instance_bus::kPath));
        return false;
    }
    claimed_ = true;
    return true;
}

void InstanceBus::release() {
    if (!claimed_) {
        return;
    }
    claimed_ = false;
    bus_.unregisterObject(QString::fromLatin1(instance_bus::kPath));
    if (bus_.isConnected() && bus_.interface()) {
        bus_.interface()->unregisterService(QString::fromLatin1(instance_bus::kService));
    }
}

void InstanceBus::Toggle() {
    call(handlers_.toggle);
}

void InstanceBus::TogglePause() {
    call(handlers_.togglePause);
}

void InstanceBus::Cancel() {
    call(handlers_.cancel);
}

void InstanceBus::ShowPanel() {
    call(handlers_.showPanel);
}

QString InstanceBus::phase() const {
    const auto phase = handlers_.phase ? handlers_.phase() : RecorderPhase();
    // The bare name for errors too: scripts compare it with a fixed word.
    return QString::fromStdString(phase.isError() ? "error" : toString(phase));
}

QString InstanceBus::shareLink() const {
    auto link = handlers_.shareLink ? handlers_.shareLink() : std::nullopt;
    return link ? QString::fromStdString(link->toString()) : QString();
}

QString InstanceBus::statusMessage() const {
    auto message = handlers_.statusMessage ? handlers_.statusMessage() : std::nullopt;
    return QString::fromStdString(message.value_or(std::string()));
}

QString InstanceBus::errorMessage() const {
    const auto phase = handlers_.phase ? handlers_.phase() : RecorderPhase();
    return phase.isError() ? QString::fromStdString(phase.message()) : QString();
}

bool InstanceBus::canRetryFinalize() const {
    return handlers_.canRetryFinalize && handlers_.canRetryFinalize();
}

}  // namespace tessera
