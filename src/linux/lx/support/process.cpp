#include "lx/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace tessarin::linux_port {
namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
};

}  // namespace

bool ReopenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken: this one.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  return true;
}

std::string FirstLine(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size() && (text[start] == '\n' || text[start] == '\r')) ++start;
  const std::size_t end = text.find('\n', start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string JoinLines(const std::string& text) {
  std::string out, line;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (!line.empty()) out += (out.empty() ? "" : "; ") + line;
      line.clear();
    } else {
      line += text[i];
    }
  }
  return out;
}

namespace {

// Our environment with the options' entries in place of ours.
std::vector<std::string> ChildEnvironment(const ProcessOptions& options) {
  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : options.environment) replaced |= entry.rfind(name + "=", 0) == 0;
    if (!replaced) envText.push_back(entry);
  }
  for (const auto& [name, value] : options.environment) envText.push_back(name + "=" + value);
  return envText;
}

// The strings as a null-terminated array, as exec takes them.
std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Starts the tool with its output into the pipes; 0 or the error number.
int Spawn(std::vector<std::string> argv, std::vector<std::string> env, Pipe& out, Pipe& err, pid_t& pid) {
  const std::vector<char*> argp = Pointers(argv);
  const std::vector<char*> envp = Pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
  // A process group of its own: a Ctrl-C on the terminal must not stop a
  // tool halfway through writing the card; the program decides.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  // The program ignores SIGPIPE; the tools get the usual behaviour back.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  const int rc = posix_spawnp(&pid, argp[0], &actions, &attributes, argp.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(out.fd[1]);
  out.fd[1] = -1;
  close(err.fd[1]);
  err.fd[1] = -1;
  return rc;
}

// What the tool writes, as the options ask for it, until it closes both.
class OutputCollector {
 public:
  OutputCollector(const ProcessOptions& options, ProcessResult& result) : options_(options), result_(result) {}

  void Collect(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buf[65536];
    while (open > 0) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          fds[i].fd = -1;
          --open;
          continue;
        }
        if (i == 1) OnErrors(buf, static_cast<std::size_t>(n));
        if (i == 0) OnOutput(buf, static_cast<std::size_t>(n));
      }
    }
    if (options_.onLine && !pending_.empty()) options_.onLine(pending_);
    result_.errors += pendingErrors_;
  }

 private:
  void OnErrors(const char* data, std::size_t n) {
    if (!options_.onProgress) {
      result_.errors.append(data, n);
      return;
    }
    pendingErrors_.append(data, n);
    for (std::size_t nl; (nl = pendingErrors_.find('\n')) != std::string::npos; pendingErrors_.erase(0, nl + 1)) {
      if (pendingErrors_.compare(0, options_.progressPrefix.size(), options_.progressPrefix) == 0)
        options_.onProgress(pendingErrors_.substr(0, nl));
      else
        result_.errors.append(pendingErrors_, 0, nl + 1);
    }
  }

  void OnOutput(const char* data, std::size_t n) {
    if (!options_.onLine) {
      result_.output.append(data, n);
      return;
    }
    pending_.append(data, n);
    for (std::size_t nl; (nl = pending_.find('\n')) != std::string::npos; pending_.erase(0, nl + 1))
      options_.onLine(pending_.substr(0, nl));
  }

  const ProcessOptions& options_;
  ProcessResult& result_;
  std::string pending_, pendingErrors_;
};

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ProcessResult result;
  Pipe out, err;
  if (pipe2(out.fd, O_CLOEXEC) != 0 || pipe2(err.fd, O_CLOEXEC) != 0) {
    result.error = errno;
    return result;
  }
  pid_t pid = 0;
  if (const int rc = Spawn(argv, ChildEnvironment(options), out, err, pid); rc != 0) {
    result.error = rc;
    return result;
  }
  result.started = true;
  OutputCollector(options, result).Collect(out.fd[0], err.fd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace tessarin::linux_port
