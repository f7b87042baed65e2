#include "publisher/ops/signals_held_back.h"

#include <initializer_list>
#include <pthread.h>

namespace publisher {

SignalsHeldBack::SignalsHeldBack() {
    sigset_t service;
    sigemptyset(&service);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&service, signal);
    pthread_sigmask(SIG_BLOCK, &service, &previous_);
}

SignalsHeldBack::~SignalsHeldBack() {
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

} // namespace publisher
