#include "lx/app/interrupts.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>

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

// SIGUSR1: the handler notes the request and wakes the watcher through a
// pipe; the watcher writes the line with the program's locks.
std::atomic<bool> g_progressRequested{false};
int g_progressPipe[2] = {-1, -1};

extern "C" void OnProgressRequest(int) {
  const int saved = errno;
  g_progressRequested = true;
  const char byte = 0;
  (void)!write(g_progressPipe[1], &byte, 1);
  errno = saved;
}

// Never destroyed: the watcher may still wait in it as the program ends.
struct ProgressWatch {
  std::mutex mutex;
  std::function<void()> report;
  bool watching = false;
};
ProgressWatch& Watch() {
  static auto* watch = new ProgressWatch;
  return *watch;
}

void AnswerProgressRequest(ProgressWatch& w) {
  if (w.report && g_progressRequested.exchange(false)) w.report();
}

void WatchProgressPipe() {
  char bytes[64];
  for (;;) {
    const ssize_t n = read(g_progressPipe[0], bytes, sizeof bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    ProgressWatch& w = Watch();
    std::lock_guard lock(w.mutex);
    AnswerProgressRequest(w);
  }
}

}  // namespace

void TakeProgressRequests() {
  if (g_progressPipe[0] < 0 && pipe2(g_progressPipe, O_CLOEXEC) == 0)
    fcntl(g_progressPipe[1], F_SETFL, fcntl(g_progressPipe[1], F_GETFL) | O_NONBLOCK);
  struct sigaction action {};
  action.sa_handler = OnProgressRequest;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void WatchProgressRequests(std::function<void()> report) {
  ProgressWatch& w = Watch();
  std::lock_guard lock(w.mutex);
  if (!report) AnswerProgressRequest(w);
  w.report = std::move(report);
  if (w.report && !w.watching && g_progressPipe[0] >= 0) {
    w.watching = true;
    std::thread(WatchProgressPipe).detach();
  }
}

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
