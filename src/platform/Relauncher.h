#pragma once

namespace tessera {

// Restarts the application: starts a new instance after a short delay, then
// ends the running one. Main thread. A failure to start the new instance is
// ignored; the running instance ends anyway.
class Relauncher {
  public:
    virtual ~Relauncher() = default;

    virtual void relaunch() = 0;
};

}  // namespace tessera
