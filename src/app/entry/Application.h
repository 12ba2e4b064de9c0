#pragma once

#include <memory>
#include <optional>
#include <string>

#include "support/Task.h"

namespace tessera {

// The running recorder: the one AppState, the one CaptureController, every
// Linux adapter they are built with, the tray icon, the panel, the settings
// window, the hot keys and the session-bus interface. Built on the main
// thread inside a QApplication; lives until the event loop ends.
class Application {
  public:
    // Builds everything; shows nothing yet.
    Application();
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Owns the session-bus name; false when another instance already does.
    bool claimInstance();
    // Shows the tray icon (or, without a tray, the panel) and says in the
    // status line what went wrong at start-up.
    void launch();
    // After the event loop: ends every controller task, closes the camera and
    // writes the last settings.
    void shutdown();

  private:
    // Saves the recordings a crashed run left behind and tells the user once.
    Task<void> recoverInterruptedSessions();

    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace tessera
