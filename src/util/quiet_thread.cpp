#include "util/quiet_thread.h"

#include <pthread.h>

namespace tarnwick {

SignalsBlocked::SignalsBlocked() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace tarnwick
