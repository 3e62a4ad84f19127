#include "lx/app/interrupts.h"

#include <unistd.h>

#include <atomic>

namespace tessarin::linux_port {
namespace {

std::atomic<bool> g_restoring{false};
std::atomic<int> g_interrupts{0};
std::atomic<bool> g_stopRequested{false};

void Say(const char* text, std::size_t size) { (void)!write(STDERR_FILENO, text, size); }

extern "C" void OnInterrupt(int sig) {
  if (!g_restoring) {
    if (!g_stopRequested.exchange(true)) {
      static const char kStarting[] = "\ntessarin: stopping before the card is changed.\n";
      Say(kStarting, sizeof kStarting - 1);
    }
    return;
  }
  // A supervisor (systemd, a line controller) sends SIGTERM once and means
  // it: that one stops at the next boundary. The keyboard's interrupt is
  // easily pressed by mistake, so the first one only warns.
  if (sig != SIGTERM && g_interrupts.fetch_add(1) == 0) {
    static const char kWarning[] =
        "\ntessarin: stopping now can leave the card unusable; the restore goes on. "
        "Interrupt again to stop after the current step.\n";
    Say(kWarning, sizeof kWarning - 1);
    return;
  }
  g_stopRequested = true;
  static const char kStopping[] =
      "\ntessarin: stopping once the current step is done (a copy in progress is finished first).\n";
  Say(kStopping, sizeof kStopping - 1);
}

void Handle(int flags) {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &action, nullptr);
}

}  // namespace

sigset_t InterruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, sig);
  return set;
}

void GuardTheStart() {
  // Without SA_RESTART: a wait for the operator's answer, or for a file
  // that blocks, ends with the interrupt.
  Handle(0);
  UnblockInterrupts();
}

void UnblockInterrupts() {
  const sigset_t set = InterruptSignals();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

bool GuardTheRestore() {
  if (g_restoring.exchange(true)) return false;
  // The interrupts that arrive from here on warn first; one that came
  // before has asked to stop already.
  Handle(SA_RESTART);
  return g_stopRequested;
}

bool StopRequested() { return g_stopRequested; }

}  // namespace tessarin::linux_port
