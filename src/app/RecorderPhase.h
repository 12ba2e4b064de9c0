#pragma once

#include <iosfwd>
#include <string>
#include <utility>

namespace tessera {

// The phase of the recording session. Seven plain phases and `error`, which
// carries the user-facing message. Two phases are equal when they are the same
// kind and, for errors, carry the same message.
class RecorderPhase {
  public:
    enum class Kind { idle, countingDown, preparing, recording, paused, finishing, done, error };

    RecorderPhase() = default;

    static RecorderPhase idle() { return RecorderPhase(Kind::idle); }
    static RecorderPhase countingDown() { return RecorderPhase(Kind::countingDown); }
    static RecorderPhase preparing() { return RecorderPhase(Kind::preparing); }
    static RecorderPhase recording() { return RecorderPhase(Kind::recording); }
    static RecorderPhase paused() { return RecorderPhase(Kind::paused); }
    static RecorderPhase finishing() { return RecorderPhase(Kind::finishing); }
    static RecorderPhase done() { return RecorderPhase(Kind::done); }
    static RecorderPhase error(std::string message) {
        return RecorderPhase(Kind::error, std::move(message));
    }

    Kind kind() const { return kind_; }
    bool is(Kind kind) const { return kind_ == kind; }
    bool isError() const { return kind_ == Kind::error; }
    // The error's message; empty for every other phase.
    const std::string& message() const { return message_; }

    friend bool operator==(const RecorderPhase&, const RecorderPhase&) = default;

  private:
    explicit RecorderPhase(Kind kind, std::string message = {})
        : kind_(kind), message_(std::move(message)) {}

    Kind kind_ = Kind::idle;
    std::string message_;  // empty unless kind_ is error
};

// The case name ("countingDown"), or error("<message>"); for logs and test output.
std::string toString(const RecorderPhase& phase);
std::ostream& operator<<(std::ostream& out, const RecorderPhase& phase);

}  // namespace tessera
