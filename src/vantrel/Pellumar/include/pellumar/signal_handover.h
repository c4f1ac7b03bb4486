// Hands SIGINT and SIGTERM over to the main thread through a self-pipe: the handler only
// writes the signal number, so nothing unsafe runs inside it; the main thread waits on the pipe.
#pragma once

#include <chrono>
#include <optional>

namespace vantrel::pellumar {

class SignalHandover {
  public:
    // Installs the handlers for SIGINT and SIGTERM; only one instance may exist at a time.
    SignalHandover();
    ~SignalHandover();
    SignalHandover(const SignalHandover&) = delete;
    SignalHandover& operator=(const SignalHandover&) = delete;

    // Waits up to `timeout` for a signal and returns its number; a zero timeout only polls.
    // Returns at once when a signal arrived earlier and has not been taken yet.
    std::optional<int> wait(std::chrono::milliseconds timeout);

  private:
    int read_fd_ = -1;
    int write_fd_ = -1;
};

}  // namespace vantrel::pellumar
