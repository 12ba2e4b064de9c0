#include "platform/desktop/InstanceCommand.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QVariantMap>
#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>

#include "platform/desktop/InstanceBus.h"

namespace tessera {

namespace {

constexpr int kNoCommand = -1;
constexpr int kCallTimeoutMs = 10000;
constexpr const char* kNotRunning = "Tessera Recorder is not running.";
constexpr const char* kUsage =
    "usage: tessera-recorder [--toggle | --pause | --cancel | --status]\n";

enum class Command { toggle, pause, cancel, status };

std::optional<Command> commandOf(const std::string& arg) {
    if (arg == "--toggle")
        return Command::toggle;
    if (arg == "--pause")
        return Command::pause;
    if (arg == "--cancel")
        return Command::cancel;
    if (arg == "--status")
        return Command::status;
    return std::nullopt;
}

// QtDBus wants a QCoreApplication; the command line runs before the
// application makes its own.
std::unique_ptr<QCoreApplication> ensureApplication() {
    if (QCoreApplication::instance()) {
        return nullptr;
    }
    static int argc = 1;
    static char name[] = "tessera-recorder";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QCoreApplication>(argc, argv);
}

bool instanceRuns(const QDBusConnection& bus) {
    return bus.isConnected() && bus.interface() &&
           bus.interface()->isServiceRegistered(QString::fromLatin1(instance_bus::kService));
}

// Calls a method of the running instance. The wait processes events, so an
// instance in this very process (tests) can answer.
QDBusMessage callInstance(QDBusConnection& bus, const QString& interface, const QString& method,
                          const QVariantList& arguments = {}) {
    auto message =
        QDBusMessage::createMethodCall(QString::fromLatin1(instance_bus::kService),
                                       QString::fromLatin1(instance_bus::kPath), interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::BlockWithGui, kCallTimeoutMs);
}

// A message as one output line: line breaks become spaces.
std::string oneLine(const QString& text) {
    auto line = text.toStdString();
    std::replace(line.begin(), line.end(), '\n', ' ');
    return line;
}

int printStatus(QDBusConnection& bus, std::ostream& out, std::ostream& err) {
    auto reply =
        callInstance(bus, QStringLiteral("org.freedesktop.DBus.Properties"),
                     QStringLiteral("GetAll"), {QString::fromLatin1(instance_bus::kInterface)});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        err << "Tessera Recorder did not answer: " << reply.errorMessage().toStdString() << "\n";
        return kInstanceNotRunning;
    }
    auto properties = qdbus_cast<QVariantMap>(reply.arguments().front());
    out << "phase: " << properties.value(QStringLiteral("Phase")).toString().toStdString() << "\n";
    out << "link: " << properties.value(QStringLiteral("ShareLink")).toString().toStdString()
        << "\n";
    // The lines the panel's done and error views show, for scripts: each only
    // when it has something to say, so the two lines above stay first.
    const auto notice = oneLine(properties.value(QStringLiteral("StatusMessage")).toString());
    if (!notice.empty()) {
        out << "notice: " << notice << "\n";
    }
    const auto error = oneLine(properties.value(QStringLiteral("ErrorMessage")).toString());
    if (!error.empty()) {
        out << "error: " << error << "\n";
    }
    if (properties.value(QStringLiteral("CanRetryFinalize")).toBool()) {
        out << "retry: finalize\n";
    }
    return kInstanceCommandOk;
}

}  // namespace

int runInstanceCommand(const std::vector<std::string>& args) {
    return runInstanceCommand(args, std::cout, std::cerr);
}

int runInstanceCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::optional<Command> command;
    for (const auto& arg : args) {
        if (commandOf(arg)) {
            if (command) {
                err << kUsage;
                return kInstanceBadUsage;
            }
            command = commandOf(arg);
        }
    }
    if (!command) {
        return kNoCommand;
    }
    if (args.size() != 1) {
        err << kUsage;
        return kInstanceBadUsage;
    }

    auto application = ensureApplication();
    auto bus = QDBusConnection::sessionBus();
    if (!instanceRuns(bus)) {
        err << kNotRunning << "\n";
        return kInstanceNotRunning;
    }
    if (*command == Command::status) {
        return printStatus(bus, out, err);
    }
    const QString method = *command == Command::toggle  ? QStringLiteral("Toggle")
                           : *command == Command::pause ? QStringLiteral("TogglePause")
                                                        : QStringLiteral("Cancel");
    auto reply = callInstance(bus, QString::fromLatin1(instance_bus::kInterface), method);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        err << "Tessera Recorder did not answer: " << reply.errorMessage().toStdString() << "\n";
        return kInstanceNotRunning;
    }
    return kInstanceCommandOk;
}

bool handOverToRunningInstance() {
    auto application = ensureApplication();
    auto bus = QDBusConnection::sessionBus();
    if (!instanceRuns(bus)) {
        return false;
    }
    auto reply = callInstance(bus, QString::fromLatin1(instance_bus::kInterface),
                              QStringLiteral("ShowPanel"));
    return reply.type() == QDBusMessage::ReplyMessage;
}

}  // namespace tessera
