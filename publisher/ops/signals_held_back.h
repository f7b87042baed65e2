// The service's signals (SIGINT, SIGTERM, SIGHUP, SIGUSR1) belong to the thread that waits for them.
// A thread started while one of these is alive inherits them blocked, so the kernel never hands a stop
// or reload to a worker busy compressing, where a signal handler run late (or, under a sanitizer's
// deferred delivery, never) would lose it. The creating thread gets its own mask back at scope end;
// a signal that came meanwhile is delivered to it then.
#pragma once

#include <csignal>

namespace publisher {

class SignalsHeldBack {
  public:
    SignalsHeldBack();
    ~SignalsHeldBack();
    SignalsHeldBack(const SignalsHeldBack&) = delete;
    SignalsHeldBack& operator=(const SignalsHeldBack&) = delete;

  private:
    sigset_t previous_;
};

} // namespace publisher
