#pragma once

namespace tessera {

// Starting the application when the user logs in. Main thread.
class LaunchAtLogin {
  public:
    enum class Status { notRegistered, enabled, requiresApproval, notFound };

    virtual ~LaunchAtLogin() = default;

    virtual Status status() const = 0;
    // On: does nothing when already enabled. Off: always removes the
    // registration. Throws an error whose what() describes the failure.
    virtual void setEnabled(bool on) = 0;
    // Opens the desktop's settings for programs started at login.
    virtual void openLoginItemsSettings() = 0;
};

}  // namespace tessera
