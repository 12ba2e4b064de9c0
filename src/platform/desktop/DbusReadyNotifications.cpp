#include "platform/desktop/DbusReadyNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QStringList>
#include <QVariantMap>
#include <cstdlib>
#include <stdexcept>

#include "platform/desktop/DesktopEntry.h"
#include "support/AsyncQueue.h"
#include "support/Log.h"

namespace tessera {

namespace {

constexpr const char* kComponent = "notifications";
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr int kCallTimeoutMs = 5000;

bool installedProcess() {
    const char* path = std::getenv("PATH");
    return desktop_entry::isInstalledExecutable(desktop_entry::currentExecutable(),
                                                desktop_entry::dataDirectories(), path ? path : "");
}

// Sends `call` and resumes on the awaiting task's executor with the reply
// (which may be an error message). Cancellation-aware.
Task<QDBusMessage> callAsync(QDBusConnection bus, QDBusMessage call, QObject* owner) {
    AsyncQueue<QDBusMessage> reply;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [reply](QDBusPendingCallWatcher* finished) mutable {
                         reply.push(finished->reply());
                         finished->deleteLater();
                     });
    // When the owner goes first, the waiting task learns it instead of
    // waiting forever.
    QObject::connect(watcher, &QObject::destroyed, [reply]() mutable { reply.finish(); });
    auto message = co_await reply.next();
    if (!message) {
        throw std::runtime_error("the notification adapter was destroyed during a call");
    }
    co_return *message;
}

}  // namespace

DbusReadyNotifications::DbusReadyNotifications(ShareActions& share,
                                               std::function<std::optional<Url>()> currentLink,
                                               QDBusConnection bus)
    : DbusReadyNotifications(share, std::move(currentLink), std::move(bus), installedProcess()) {}

DbusReadyNotifications::DbusReadyNotifications(ShareActions& share,
                                               std::function<std::optional<Url>()> currentLink,
                                               QDBusConnection bus, bool bundled)
    : share_(share), currentLink_(std::move(currentLink)), bus_(std::move(bus)), bundled_(bundled) {
    bool connected = bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"),
                                  this, SLOT(onActionInvoked(uint, QString))) &&
                     bus_.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"),
                                  this, SLOT(onNotificationClosed(uint, uint)));
    if (!connected) {
        logging::warning(kComponent, "couldn't watch the notification service's signals: " +
                                         bus_.lastError().message().toStdString());
    }
}

Task<ReadyNotifications::Authorization> DbusReadyNotifications::authorization() {
    if (!bus_.isConnected()) {
        logging::info(kComponent, "no session bus, so notifications are off");
        co_return Authorization::denied;
    }
    auto reply =
        co_await callAsync(bus_,
                           QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                          QStringLiteral("GetServerInformation")),
                           this);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        logging::info(kComponent, "the notification service does not answer: " +
                                      reply.errorMessage().toStdString());
        co_return Authorization::denied;
    }
    co_return Authorization::authorized;
}

Task<bool> DbusReadyNotifications::requestAuthorization() {
    co_return co_await authorization() == Authorization::authorized;
}

Task<void> DbusReadyNotifications::post(const std::string& title, const std::string& body) {
    auto call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("com.tessera.recorder"));
    call << QStringLiteral("Tessera Recorder") << uint(0) << QStringLiteral("com.tessera.recorder")
         << QString::fromStdString(title) << QString::fromStdString(body)
         << QStringList{QStringLiteral("default"), QStringLiteral("Open")} << hints << int(-1);
    auto reply = co_await callAsync(bus_, call, this);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        throw std::runtime_error("The notification could not be shown: " +
                                 reply.errorMessage().toStdString());
    }
    shown_.insert(reply.arguments().front().toUInt());
}

void DbusReadyNotifications::onActionInvoked(uint id, const QString& actionKey) {
    if (!shown_.contains(id) || actionKey != QStringLiteral("default")) {
        return;  // another application's notification, or another action
    }
    auto link = currentLink_();
    if (!link) {
        logging::info(kComponent, "notification clicked, but there is no share link any more");
        return;
    }
    share_.openInBrowser(*link);
}

void DbusReadyNotifications::onNotificationClosed(uint id, uint) {
    shown_.erase(id);
}

}  // namespace tessera
