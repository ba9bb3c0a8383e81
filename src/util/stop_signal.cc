// Stop-signal flag and ending by signal.
#include "util/stop_signal.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

volatile sig_atomic_t arrived = 0;

// Only async-signal-safe work here: the first signal is remembered.
extern "C" void note_stop(int signal_number) {
  if (arrived == 0) arrived = signal_number;
}

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

}  // namespace

void install_stop_handlers() {
  struct sigaction action = {};
  action.sa_handler = note_stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : kStopSignals) {
    // A signal the caller ignores (as nohup does with SIGHUP) stays ignored.
    struct sigaction previous;
    if (sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

int stop_signal() { return arrived; }

void end_by_signal(int signal_number) {
  std::fflush(stderr);
  std::fflush(stdout);
  signal(signal_number, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);  // not reached: the default action ends the process
}
