#pragma once

#include <QDBusConnection>
#include <QObject>
#include <functional>
#include <optional>
#include <set>

#include "capture/ControllerPorts.h"

namespace tessera {

// Ready notifications through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Main thread; the tasks
// resume on the executor they are spawned on.
//
// "Authorized" means the service answers on the bus; asking for
// authorization makes the same check, since the service has no permission
// request of its own. Each notification carries a "default" action: when the
// user clicks it, the current share link (from `currentLink`) is opened
// through `share`. isBundled() is true when the running executable belongs to
// an installation with the application's desktop entry.
class DbusReadyNotifications final : public QObject, public ReadyNotifications {
    Q_OBJECT

  public:
    DbusReadyNotifications(ShareActions& share, std::function<std::optional<Url>()> currentLink,
                           QDBusConnection bus = QDBusConnection::sessionBus());
    // For tests: whether the process counts as installed, given outright.
    DbusReadyNotifications(ShareActions& share, std::function<std::optional<Url>()> currentLink,
                           QDBusConnection bus, bool bundled);

    bool isBundled() const override { return bundled_; }
    Task<Authorization> authorization() override;
    Task<bool> requestAuthorization() override;
    // Throws std::runtime_error with the service's error when delivery fails.
    Task<void> post(const std::string& title, const std::string& body) override;

  private slots:
    void onActionInvoked(uint id, const QString& actionKey);
    void onNotificationClosed(uint id, uint reason);

  private:
    ShareActions& share_;
    std::function<std::optional<Url>()> currentLink_;
    QDBusConnection bus_;
    bool bundled_;
    // Ids of our notifications still on screen.
    std::set<uint> shown_;
};

}  // namespace tessera
