#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace tessera::testing {

// A private D-Bus session bus: a dbus-daemon on a socket in a temporary folder,
// with a configuration that lets every local client own any name and that
// activates no services (so nothing of the machine's real desktop, such as a
// notification daemon, starts on it). The constructor returns once the bus
// accepts connections and points DBUS_SESSION_BUS_ADDRESS at it; the
// destructor puts the variable back and stops the daemon.
//
// Qt keeps the first session-bus connection of a process for its whole life,
// so a Qt test executable makes one of these before anything uses the
// session bus and keeps it for every test (see sharedInstance()).
class DbusSession {
  public:
    DbusSession();
    ~DbusSession();
    DbusSession(const DbusSession&) = delete;
    DbusSession& operator=(const DbusSession&) = delete;

    // The bus address ("unix:path=...,guid=...").
    const std::string& address() const { return address_; }

    // One bus for the whole test executable, made on first use and stopped
    // at exit.
    static DbusSession& sharedInstance();

  private:
    std::filesystem::path folder_;
    std::string address_;
    std::optional<std::string> previousAddress_;
    pid_t daemon_ = -1;
};

}  // namespace tessera::testing
