// Starting a thread that takes no signals: every signal stays with the
// interpreter's own threads, which handle them (Ctrl-C, SIGTERM handlers).
#pragma once

#include <signal.h>

#include <thread>
#include <utility>

namespace tarnwick {

// Blocks every signal on the calling thread while it lives, so that threads
// started meanwhile inherit the full mask; the previous mask comes back when
// it is dropped.
class SignalsBlocked {
 public:
  SignalsBlocked();
  ~SignalsBlocked();
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// Returns a running thread executing `work` with every signal blocked; the
// caller's own mask is unchanged on return, also when starting it throws
// (std::system_error, as std::thread does).
template <typename Work>
std::thread start_quiet_thread(Work&& work) {
  SignalsBlocked blocked;
  return std::thread(std::forward<Work>(work));
}

}  // namespace tarnwick
