#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/Relauncher.h"

namespace tessera {

// Relaunches through the shell: starts `/bin/sh -c "sleep 0.5; exec '<exe>'"`
// (the running executable, from /proc/self/exe) in its own session, then calls
// the quit callback, which ends the application's event loop. The half second
// lets this instance exit before the next one starts. A failure to start the
// shell is ignored: the application quits anyway.
class ShellRelauncher : public Relauncher {
  public:
    explicit ShellRelauncher(std::function<void()> quit) : quit_(std::move(quit)) {}

    void relaunch() override;

  private:
    std::function<void()> quit_;
};

// `text` in single quotes for /bin/sh, every ' written as '\''.
std::string shellQuoted(std::string_view text);

// The shell command that waits half a second and then runs `executablePath`.
std::string relaunchCommand(std::string_view executablePath);

}  // namespace tessera
