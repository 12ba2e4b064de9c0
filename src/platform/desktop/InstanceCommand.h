#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tessera {

// Exit codes of the commands that control a running instance.
inline constexpr int kInstanceCommandOk = 0;
inline constexpr int kInstanceNotRunning = 1;
inline constexpr int kInstanceBadUsage = 2;

// Runs a command-line command against the running instance over the session
// bus. `args` are the arguments after the program name; the commands are
// --toggle, --pause, --cancel and --status (which prints "phase: <phase>" and
// "link: <url>" lines, then, when there is something to say, the panel's
// "notice: <status line>", "error: <error message>" and "retry: finalize"
// when the error offers a retry). Returns -1 when `args` hold no such command (the
// application then starts as usual), 0 when the command went through, 1 when
// no instance runs ("Tessera Recorder is not running.") or it did not answer,
// 2 for bad usage (two commands, or a command with other arguments).
// Creates a QCoreApplication for the call when the process has none yet.
int runInstanceCommand(const std::vector<std::string>& args);
int runInstanceCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Asks the running instance to show its panel, for a second launch. False
// when no instance answers.
bool handOverToRunningInstance();

}  // namespace tessera
