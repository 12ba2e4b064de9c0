#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <string>

#include "app/RecorderPhase.h"
#include "app/Url.h"

namespace tessera {

// The names under which the running application can be reached on the
// session bus.
namespace instance_bus {
inline constexpr const char* kService = "com.tessera.recorder";
inline constexpr const char* kPath = "/com/tessera/recorder";
inline constexpr const char* kInterface = "com.tessera.recorder.Control";
}  // namespace instance_bus

// The running application's control point on the session bus: it owns the
// name com.tessera.recorder, so a second launch finds it, and serves the
// interface com.tessera.recorder.Control at /com/tessera/recorder with the
// methods Toggle, TogglePause, Cancel, ShowPanel and the read-only
// properties Phase (the phase's name, as toString(RecorderPhase) gives it;
// "error" without its message for an error), ShareLink (empty when there is
// none), StatusMessage (the panel's status line, such as a heads-up after a
// recording; empty when none), ErrorMessage (the error view's message; empty
// outside the error phase) and CanRetryFinalize (whether the error view
// offers "Retry finalize"). Main thread: the methods call the callbacks on
// the thread that owns this object.
class InstanceBus final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tessera.recorder.Control")
    Q_PROPERTY(QString Phase READ phase)
    Q_PROPERTY(QString ShareLink READ shareLink)
    Q_PROPERTY(QString StatusMessage READ statusMessage)
    Q_PROPERTY(QString ErrorMessage READ errorMessage)
    Q_PROPERTY(bool CanRetryFinalize READ canRetryFinalize)

  public:
    struct Handlers {
        std::function<void()> toggle;
        std::function<void()> togglePause;
        std::function<void()> cancel;
        std::function<void()> showPanel;
        std::function<RecorderPhase()> phase;
        std::function<std::optional<Url>()> shareLink;
        std::function<std::optional<std::string>()> statusMessage;
        std::function<bool()> canRetryFinalize;
    };

    explicit InstanceBus(Handlers handlers, QDBusConnection bus = QDBusConnection::sessionBus());
    ~InstanceBus() override;

    // Takes the bus name and serves the interface. False when another
    // instance owns the name or there is no session bus (then nothing is
    // served); the reason is logged.
    bool claim();

  public slots:
    void Toggle();
    void TogglePause();
    void Cancel();
    void ShowPanel();

  private:
    QString phase() const;
    QString shareLink() const;
    QString statusMessage() const;
    QString errorMessage() const;
    bool canRetryFinalize() const;
    void release();

    Handlers handlers_;
    QDBusConnection bus_;
    bool claimed_ = false;
};

}  // namespace tessera
