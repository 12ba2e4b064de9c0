#pragma once

namespace tessera {

// Access to capturing the screen. Main thread; both calls may block briefly
// (they may talk to the display server).
class ScreenPermission {
  public:
    virtual ~ScreenPermission() = default;

    // True when the screen can be captured now. Never prompts the user.
    virtual bool preflight() = 0;
    // Asks the system to grant access (a prompt where the platform has one). The
    // answer is not returned: on every platform that prompts, a grant takes
    // effect only after the application restarts.
    virtual void request() = 0;
};

}  // namespace tessera
