#include "lx/several/parallel_restore.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "lx/report/parent_channel.h"
#include "lx/support/json_line.h"
#include "lx/support/terminal_text.h"
#include "lx/terminal/progress_board.h"

extern char** environ;

namespace tessarin::linux_port {
namespace {

int Rank(int status) {
  switch (status) {
    case kExitRestored:
      return 0;
    case kExitDeclined:
      return 1;
    case kExitUsage:
      return 2;
    case kExitProjectNotRestored:
      return 3;
    case kExitInterrupted:
      return 5;
    default:
      return 4;
  }
}

// The parent's interrupts reach the restores through this pipe, so that
// the handler does no more than write one byte.
int g_signalPipe[2] = {-1, -1};

extern "C" void OnParentSignal(int sig) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(sig);
  (void)!write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

void WriteText(std::FILE* f, const std::string& text) {
  std::fputs(text.c_str(), f);
  std::fflush(f);
}

struct Child {
  std::string target;
  pid_t pid = -1;
  int fds[3] = {-1, -1, -1};  // its standard output, standard error, report channel
  std::string pending[3];
  int answerFd = -1;  // where the operator's answer goes, when it asks
  CardResult result;
  bool asking = false;    // it passed its checks and waits for the answer
  bool reported = false;  // it sent its result
  bool reaped = false;
};

constexpr int kReportFd = 3;
constexpr int kAnswerFd = 4;

// Starts this program again for one target.
bool Spawn(Child& c, const ParallelOptions& options, std::string& error) {
  int pipes[4][2];
  for (auto& p : pipes) p[0] = p[1] = -1;
  const bool ask = static_cast<bool>(options.confirm);
  auto closeAll = [&] {
    for (auto& p : pipes)
      for (int& fd : p)
        if (fd >= 0) close(fd), fd = -1;
  };
  for (int i = 0; i < (ask ? 4 : 3); ++i) {
    if (pipe2(pipes[i], O_CLOEXEC) != 0) {
      error = std::strerror(errno);
      closeAll();
      return false;
    }
  }
  std::vector<std::string> args{"tessarin"};
  args.insert(args.end(), options.arguments.begin(), options.arguments.end());
  args.insert(args.end(), {ask ? "--answer-fd=" + std::to_string(kAnswerFd) : std::string("--yes"),
                           "--report-fd=" + std::to_string(kReportFd), "--", c.target});
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipes[0][1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipes[1][1], 2);
  posix_spawn_file_actions_adddup2(&actions, pipes[2][1], kReportFd);
  if (ask) posix_spawn_file_actions_adddup2(&actions, pipes[3][0], kAnswerFd);
  // A process group of its own: an interrupt on the terminal reaches this
  // program only, which passes it on once to every restore.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  // The restore starts with the interrupts blocked: one passed on before
  // it handles them waits for it, instead of ending it. So does a request
  // for progress (SIGUSR1), which would end it as well.
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1}) sigaddset(&set, sig);
  posix_spawnattr_setsigmask(&attributes, &set);
  posix_spawnattr_setsigdefault(&attributes, &set);
  const int rc = posix_spawn(&c.pid, "/proc/self/exe", &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  for (int i = 0; i < 3; ++i) {
    close(pipes[i][1]);
    pipes[i][1] = -1;
  }
  if (ask) {
    close(pipes[3][0]);
    pipes[3][0] = -1;
  }
  if (rc != 0) {
    error = std::strerror(rc);
    closeAll();
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    c.fds[i] = pipes[i][0];
    pipes[i][0] = -1;
  }
  c.answerFd = pipes[3][1];
  return true;
}

class Multiplexer {
 public:
  Multiplexer(std::vector<Child>& children, const ParallelOptions& options) : children_(children), options_(options) {
    if (options.board) {
      board_ = std::make_unique<ProgressBoard>(stderr, children.size());
      for (std::size_t i = 0; i < children.size(); ++i) {
        board_->row(i).label = children[i].target;
        board_->row(i).state = children[i].pid > 0 ? "starting" : "not started";
      }
    }
  }

  void Run();

 private:
  void Out(std::FILE* f, const std::string& text) {
    if (board_) board_->Erase();
    WriteText(f, text);
    if (board_) board_->Draw();
  }
  void OnLine(std::size_t i, int stream, const std::string& line);
  void OnReport(std::size_t i, const std::vector<std::string>& fields);
  void Reap(Child& c, std::size_t i);
  void AskWhenAllAreReady();

  std::vector<Child>& children_;
  const ParallelOptions& options_;
  std::unique_ptr<ProgressBoard> board_;
  bool asked_ = false;
};

void Multiplexer::OnLine(std::size_t i, int stream, const std::string& line) {
  Child& c = children_[i];
  if (stream == 2) {
    OnReport(i, DecodeChannelMessage(line));
    return;
  }
  if (stream == 0 && options_.json) {
    Out(stdout, line + "\n");  // every object names its target itself
    return;
  }
  Out(stream == 0 ? stdout : stderr, EscapeForTerminal(c.target) + ": " + line + "\n");
}

void Multiplexer::OnReport(std::size_t i, const std::vector<std::string>& f) {
  Child& c = children_[i];
  if (f.empty()) return;
  if (f[0] == "ask") c.asking = true;
  if (f[0] == "result" && f.size() >= 3) {
    c.result.status = std::atoi(f[1].c_str());
    c.result.savedProject = f[2];
    c.reported = true;
  }
  if (!board_) return;
  ProgressRow& row = board_->row(i);
  if (f[0] == "state" && f.size() >= 2) {
    row.state = EscapeForTerminal(f[1]);
  } else if (f[0] == "begin" && f.size() >= 2) {
    row.step = f[1];
    row.detail.clear();
    row.done = row.total = 0;
    row.started = std::chrono::steady_clock::now();
  } else if (f[0] == "detail" && f.size() >= 2) {
    row.detail = f[1];
  } else if (f[0] == "advance" && f.size() >= 3) {
    row.done = std::strtoull(f[1].c_str(), nullptr, 10);
    row.total = std::strtoull(f[2].c_str(), nullptr, 10);
  } else if (f[0] == "end") {
    row.step.clear();
  } else if (f[0] == "result") {
    row.step.clear();
    row.state = std::string("done: ") + ResultName(c.result.status);
  }
}

void Multiplexer::Reap(Child& c, std::size_t i) {
  int status = 0;
  while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
  }
  c.reaped = true;
  if (c.answerFd >= 0) close(c.answerFd), c.answerFd = -1;
  if (WIFEXITED(status)) {
    const int code = WEXITSTATUS(status);
    if (!c.reported || code != c.result.status) c.result.status = code;
  } else {
    c.result.status = kExitFailed;
    c.result.detail = "killed by signal " + std::to_string(WTERMSIG(status));
  }
  if (board_) {
    board_->row(i).step.clear();
    board_->row(i).state = std::string("done: ") + ResultName(c.result.status) +
                           (c.result.detail.empty() ? "" : " (" + c.result.detail + ")");
  }
}

// The one question for every card, once none is still being checked: a
// card refused meanwhile is left out, and the answer goes to each card
// that waits for it.
void Multiplexer::AskWhenAllAreReady() {
  if (asked_ || !options_.confirm) return;
  std::vector<std::string> ready;
  for (const Child& c : children_) {
    if (!c.reaped && !c.asking) return;
    if (!c.reaped) ready.push_back(c.target);
  }
  asked_ = true;
  if (ready.empty()) return;
  if (board_) board_->Erase();
  // An interrupt at the question ends this program as it would a single
  // restore's: the cards waiting read no answer, which is No.
  struct sigaction passOn[4]{};
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  const int signals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  for (int k = 0; k < 4; ++k) sigaction(signals[k], &plain, &passOn[k]);
  const bool yes = options_.confirm(ready);
  for (int k = 0; k < 4; ++k) sigaction(signals[k], &passOn[k], nullptr);
  for (Child& c : children_) {
    if (c.reaped || c.answerFd < 0) continue;
    const char* answer = yes ? "yes\n" : "no\n";
    (void)!write(c.answerFd, answer, std::strlen(answer));
    close(c.answerFd);
    c.answerFd = -1;
  }
  if (board_) board_->Draw();
}

void Multiplexer::Run() {
  if (board_) board_->Draw();
  char buf[65536];
  for (;;) {
    std::vector<pollfd> fds{{g_signalPipe[0], POLLIN, 0}};
    std::vector<std::pair<std::size_t, int>> owners{{0, -1}};
    bool running = false;
    for (std::size_t i = 0; i < children_.size(); ++i) {
      Child& c = children_[i];
      for (int s = 0; s < 3; ++s) {
        if (c.fds[s] < 0) continue;
        fds.push_back({c.fds[s], POLLIN, 0});
        owners.emplace_back(i, s);
      }
      running = running || (c.pid > 0 && !c.reaped);
    }
    if (!running) break;
    AskWhenAllAreReady();
    const int ready = poll(fds.data(), fds.size(), board_ ? 250 : -1);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) {
      if (board_) board_->Draw();
      continue;
    }
    if (fds[0].revents & POLLIN) {
      unsigned char sigs[16];
      const ssize_t n = read(g_signalPipe[0], sigs, sizeof sigs);
      for (ssize_t k = 0; k < n; ++k) {
        int passed = 0;
        for (Child& c : children_) {
          if (c.pid > 0 && !c.reaped && kill(c.pid, sigs[k]) == 0) ++passed;
        }
        // Each restore answers a request for progress with its line.
        if (sigs[k] == SIGUSR1) continue;
        Out(stderr, "tessarin: " + std::string(strsignal(sigs[k])) + ": passed on to the " + std::to_string(passed) +
                        " restores still running\n");
      }
    }
    for (std::size_t k = 1; k < fds.size(); ++k) {
      if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const auto [i, s] = owners[k];
      Child& c = children_[i];
      const ssize_t n = read(c.fds[s], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (!c.pending[s].empty()) OnLine(i, s, c.pending[s]);
        c.pending[s].clear();
        close(c.fds[s]);
        c.fds[s] = -1;
        if (c.fds[0] < 0 && c.fds[1] < 0 && c.fds[2] < 0) Reap(c, i);
        continue;
      }
      std::string& p = c.pending[s];
      p.append(buf, static_cast<std::size_t>(n));
      for (std::size_t nl; (nl = p.find('\n')) != std::string::npos; p.erase(0, nl + 1)) OnLine(i, s, p.substr(0, nl));
    }
  }
  if (board_) {
    board_->Draw();
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
}

}  // namespace

int WorseStatus(int a, int b) {
  auto plain = [](int s) { return Rank(s) == 4 ? static_cast<int>(kExitFailed) : s; };
  return Rank(b) > Rank(a) ? plain(b) : plain(a);
}

std::vector<CardResult> RestoreSeveral(const std::vector<std::string>& targets, const ParallelOptions& options) {
  if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) g_signalPipe[0] = g_signalPipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnParentSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1}) sigaction(sig, &action, nullptr);

  const auto started = std::chrono::steady_clock::now();
  std::vector<Child> children(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    Child& c = children[i];
    c.target = targets[i];
    c.result.target = targets[i];
    std::string error;
    if (!Spawn(c, options, error)) {
      c.result.status = kExitUsage;
      c.result.detail = "could not be started: " + error;
      c.reaped = true;
      WriteText(stderr,
                "tessarin: " + EscapeForTerminal(c.target) + ": the restore could not be started: " + error + "\n");
    }
  }
  Multiplexer(children, options).Run();

  std::vector<CardResult> results;
  int worst = kExitRestored;
  for (const Child& c : children) {
    results.push_back(c.result);
    worst = WorseStatus(worst, c.result.status);
  }
  if (options.summary) WriteText(stdout, options.json ? SummaryJson(results, worst) : SummaryTable(results));
  if (options.timings) {
    char line[128];
    std::snprintf(line, sizeof line, "tessarin: timings: %zu cards at once: %.3f s\n", targets.size(),
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    WriteText(stderr, line);
  }
  return results;
}

std::string SummaryTable(const std::vector<CardResult>& results) {
  std::vector<std::vector<std::string>> rows{{"TARGET", "RESULT", "SAVED PROJECT FOLDER"}};
  for (const CardResult& r : results) {
    std::string result = ResultName(r.status);
    result += " (exit status " + std::to_string(r.status) + (r.detail.empty() ? "" : ", " + r.detail) + ")";
    rows.push_back(
        {EscapeForTerminal(r.target), result, r.savedProject.empty() ? "-" : EscapeForTerminal(r.savedProject)});
  }
  std::size_t w0 = 0, w1 = 0;
  for (const auto& row : rows) {
    w0 = std::max(w0, row[0].size());
    w1 = std::max(w1, row[1].size());
  }
  std::string out = "\n";
  for (const auto& row : rows)
    out += row[0] + std::string(w0 - row[0].size() + 2, ' ') + row[1] + std::string(w1 - row[1].size() + 2, ' ') +
           row[2] + "\n";
  return out;
}

std::string SummaryJson(const std::vector<CardResult>& results, int status) {
  JsonArray cards;
  for (const CardResult& r : results) {
    JsonObject o;
    o.Str("target", r.target).Int("status", r.status).Str("result", ResultName(r.status));
    o.OptStr("saved_project", r.savedProject.empty() ? std::nullopt : std::optional<std::string>(r.savedProject));
    if (!r.detail.empty()) o.Str("detail", r.detail);
    cards.Add(o.Text());
  }
  return JsonObject().Str("event", "summary").Int("status", status).Raw("cards", cards.Text()).Text() + "\n";
}

}  // namespace tessarin::linux_port
