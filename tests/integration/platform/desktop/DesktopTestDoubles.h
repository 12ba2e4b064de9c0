#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <vector>

#include "capture/ControllerPorts.h"

namespace tessera::testing {

// Records the links it is asked to open.
class RecordingShareActions final : public ShareActions {
  public:
    void copyToClipboard(const Url&) override {}
    void openInBrowser(const Url& link) override { opened.push_back(link); }
    std::vector<Url> opened;
};

// Stands in for the desktop's handler of one URL scheme
// (QDesktopServices::setUrlHandler) and records what it is given.
class UrlSink final : public QObject {
    Q_OBJECT
  public:
    std::vector<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

// A notification service on its own bus connection: it remembers each Notify
// and can send ActionInvoked as a click would.
class FakeNotificationServer final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

  public:
    struct Shown {
        uint id;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
    };

    explicit FakeNotificationServer(QDBusConnection bus) : bus_(std::move(bus)) {}

    bool start() {
        return bus_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                   QDBusConnection::ExportAllSlots) &&
               bus_.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }
    void stop() {
        bus_.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        bus_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    }

    void click(uint id, const QString& action = QStringLiteral("default")) {
        auto signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                 QStringLiteral("org.freedesktop.Notifications"),
                                                 QStringLiteral("ActionInvoked"));
        signal << id << action;
        bus_.send(signal);
    }

    std::vector<Shown> shown;

  public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int) {
        shown.push_back({nextId_, summary, body, actions, hints});
        return nextId_++;
    }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
        vendor = QStringLiteral("tests");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("fake");
    }

  private:
    QDBusConnection bus_;
    uint nextId_ = 7;
};

}  // namespace tessera::testing
