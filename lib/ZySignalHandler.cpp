// Signal sets, names and delivery of handled signals to callbacks.
#include "ZySignalHandler.h"

#include <csignal>
#include <pthread.h>

namespace {
void commonSignals(sigset_t *set) {
  sigemptyset(set);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGPIPE);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGQUIT);
  sigaddset(set, SIGTERM);
}
} // namespace

void ZySignalHandler::blockCommonThisThread() {
  sigset_t set;
  commonSignals(&set);
  pthread_sigmask(SIG_SETMASK, &set, nullptr);
}

void ZySignalHandler::blockAllThisThread() {
  sigset_t set;
  sigfillset(&set);
  pthread_sigmask(SIG_SETMASK, &set, nullptr);
}
