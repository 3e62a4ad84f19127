#include "lx/report/run_reports.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "card/card_types.h"
#include "lx/report/parent_channel.h"
#include "lx/support/json_line.h"
#include "lx/support/sha256.h"
#include "lx/support/terminal_text.h"

namespace tessarin::linux_port {
namespace {

// The wall clock with its offset from UTC: "2026-01-05T14:03:07+0100".
std::string Now(const char* format) {
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[64];
  return std::string(buf, std::strftime(buf, sizeof buf, format, &local));
}

const char* IconName(unsigned flags) {
  switch (flags & kMbIconMask) {
    case kMbIconQuestion:
      return "question";
    case kMbIconExclamation:
      return "exclamation";
    case 0x10:
      return "error";
    case 0x40:
      return "information";
    default:
      return "none";
  }
}

const char* AnswerName(int answer) {
  switch (answer) {
    case kIdYes:
      return "yes";
    case kIdNo:
      return "no";
    case kIdCancel:
      return "cancel";
    default:
      return "ok";
  }
}

// A message box's lines as one line of the service record.
std::string OneLine(const std::string& text) {
  std::string out;
  bool gap = false;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      gap = true;
      continue;
    }
    if (gap && !out.empty()) out += ' ';
    gap = false;
    out += c;
  }
  return EscapeForTerminal(out);
}

std::string VolumeText(const std::optional<VolumeIdentity>& v) {
  if (!v) return "no FAT volume";
  std::string text = v->fileSystem;
  text += v->label.empty() ? ", no label" : ", label \"" + EscapeForTerminal(v->label) + "\"";
  if (v->serial) text += ", serial " + VolumeSerialText(*v->serial);
  return text;
}

}  // namespace

std::string CardIdentityJson(const RunIdentity& id, const std::optional<VolumeIdentity>& volume) {
  JsonObject card;
  card.Str("path", id.path).Bool("block_device", id.blockDevice).UInt("size", id.sizeBytes);
  if (id.disk) {
    card.Str("bus", id.disk->bus).Str("vendor", id.disk->vendor).Str("model", id.disk->model);
    card.Str("serial", id.disk->serial);
  }
  if (volume) {
    card.Str("file_system", volume->fileSystem).Str("label", volume->label);
    card.OptStr("volume_serial",
                volume->serial ? std::optional<std::string>(VolumeSerialText(*volume->serial)) : std::nullopt);
  } else {
    card.Null("file_system").Null("label").Null("volume_serial");
  }
  return card.Text();
}

// An event of the run: its name, the card's target and the time first.
class JsonReport::Event {
 public:
  Event(const char* name, const std::string& target) {
    object_.Str("event", name).Str("target", target).Str("time", Now("%Y-%m-%dT%H:%M:%S%z"));
  }
  JsonObject* operator->() { return &object_; }
  std::string Text() const { return object_.Text() + "\n"; }

 private:
  JsonObject object_;
};

JsonReport::Event JsonReport::NewEvent(const char* name) { return Event(name, id_.target); }

void JsonReport::Emit(const std::string& line) {
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
}

void JsonReport::Start(const RunIdentity& id) {
  id_ = id;
  started_ = std::chrono::steady_clock::now();
  Event e = NewEvent("start");
  e->Str("version", id.version).Str("system", id.system);
  JsonObject archive;
  archive.Str("path", id.archive);
  if (id.archiveBytes)
    archive.UInt("size", *id.archiveBytes);
  else
    archive.Null("size");
  archive.OptStr("sha256", id.archiveSha256);
  e->Raw("archive", archive.Text());
  e->Raw("card", CardIdentityJson(id, id.before.volume));
  Emit(e.Text());
}

void JsonReport::EndOpenStep(const char* state) {
  if (step_.empty()) return;
  Event e = NewEvent("step");
  e->Str("step", step_).Str("state", state);
  e->Num("seconds", std::chrono::duration<double>(std::chrono::steady_clock::now() - stepStarted_).count());
  Emit(e.Text());
  step_.clear();
}

void JsonReport::OnLogLine(const std::string& line) {
  const LogLineParts parts = SplitLogLine(line);
  Event e = NewEvent("log");
  e->Str("clock", parts.time).Str("level", parts.level).Str("text", parts.text);
  Emit(e.Text());
  const std::size_t at = line.find("::");
  if (const auto step =
          SequenceStepOf(at == std::string::npos ? std::string_view() : std::string_view(line).substr(at))) {
    if (step->begins) {
      EndOpenStep("end");
      step_ = step->id;
      stepStarted_ = std::chrono::steady_clock::now();
      Event b = NewEvent("step");
      b->Str("step", step_).Str("state", "begin");
      Emit(b.Text());
    } else if (step_ == step->id) {
      EndOpenStep("end");
    }
  }
}

void JsonReport::OnMessage(const std::string& text, unsigned flags, int answer) {
  Event e = NewEvent("message");
  e->Str("text", text).Str("icon", IconName(flags)).Str("answer", AnswerName(answer));
  Emit(e.Text());
}

void JsonReport::OnDiagnostic(const std::string& text) {
  Event e = NewEvent("diagnostic");
  e->Str("text", text);
  Emit(e.Text());
}

void JsonReport::OnStepBegin(const std::string& step) {
  task_ = step;
  taskDetail_.clear();
  lastDone_ = 0;
  lastTotal_ = 0;
  lastProgress_ = std::chrono::steady_clock::now();
  Event e = NewEvent("progress");
  e->Str("step", step_).Str("task", task_).Str("state", "begin");
  Emit(e.Text());
}

void JsonReport::OnStepDetail(const std::string& detail) { taskDetail_ = detail; }

void JsonReport::OnStepAdvance(std::uint64_t done, std::uint64_t total) {
  // Twice a second is plenty for a machine, and the last one always.
  const auto now = std::chrono::steady_clock::now();
  if (done < total && now - lastProgress_ < std::chrono::milliseconds(500)) return;
  if (done == lastDone_ && (done < total || lastTotal_ == total)) return;
  lastProgress_ = now;
  lastDone_ = done;
  lastTotal_ = total;
  Event e = NewEvent("progress");
  e->Str("step", step_).Str("task", task_).UInt("done", done).UInt("total", total);
  if (!taskDetail_.empty()) e->Str("detail", taskDetail_);
  Emit(e.Text());
}

void JsonReport::OnStepEnd() {
  Event e = NewEvent("progress");
  e->Str("step", step_).Str("task", task_).Str("state", "end");
  Emit(e.Text());
  task_.clear();
}

void JsonReport::Refused(const std::string& given, const std::string& reason, int status) {
  id_.target = given;
  Event e = NewEvent("result");
  e->Int("status", status).Str("result", ResultName(status)).Str("reason", reason).Null("saved_project");
  Emit(e.Text());
}

void JsonReport::Finish(const RunOutcome& outcome) {
  EndOpenStep(outcome.status == kExitRestored || outcome.status == kExitProjectNotRestored ? "end" : "failed");
  Event e = NewEvent("result");
  e->Int("status", outcome.status).Str("result", ResultName(outcome.status));
  e->OptStr("saved_project",
            outcome.savedProject.empty() ? std::nullopt : std::optional<std::string>(outcome.savedProject));
  e->Raw("card", CardIdentityJson(id_, outcome.volumeAfter));
  e->Num("seconds", outcome.seconds);
  Emit(e.Text());
}

std::unique_ptr<ServiceLog> ServiceLog::Open(const std::string& file, std::string& error) {
  const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    error = file + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<ServiceLog>(new ServiceLog(fd));
}

ServiceLog::~ServiceLog() { close(fd_); }

void ServiceLog::Add(const std::string& line) {
  block_ += line;
  block_ += '\n';
}

void ServiceLog::Header(const std::string& version) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  std::string user = std::to_string(getuid());
  passwd pw{}, *found = nullptr;
  char buf[1024];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr) user = found->pw_name;
  block_.clear();
  Add("== tessarin " + version + ", " + Now("%Y-%m-%d %H:%M:%S %z") + ", host " + EscapeForTerminal(host) + ", user " +
      EscapeForTerminal(user) + ", pid " + std::to_string(getpid()));
}

bool ServiceLog::Refused(const std::string& given, const std::string& version, const std::string& reason, int status) {
  Header(version);
  block_ += "card: " + EscapeForTerminal(given) + "\n";
  block_ += "result: " + std::string(ResultName(status)) + " (exit status " + std::to_string(status) +
            "): " + OneLine(reason) + "\n\n";
  return WriteBlock();
}

void ServiceLog::Start(const RunIdentity& id) {
  Header(id.version);
  std::string card = "card: " + EscapeForTerminal(id.path) +
                     (id.target != id.path ? " (" + EscapeForTerminal(id.target) + ")" : "") + ", " +
                     SizeText(id.sizeBytes);
  if (id.disk) {
    card += ", " + id.disk->bus;
    const std::string name = id.disk->vendor.empty() ? id.disk->model : id.disk->vendor + " " + id.disk->model;
    if (!name.empty() && name != " ") card += " " + EscapeForTerminal(name);
    if (!id.disk->serial.empty()) card += ", serial " + EscapeForTerminal(id.disk->serial);
  } else if (!id.blockDevice) {
    card += ", image file";
  }
  Add(card);
  Add("card before: " + EscapeForTerminal(DescribeFirstPartition(id.before)));
  Add("archive: " + EscapeForTerminal(id.archive) + ", " +
      (id.archiveBytes ? std::to_string(*id.archiveBytes) + " bytes" : std::string("missing")) +
      (id.archiveSha256 ? ", sha256 " + *id.archiveSha256 : std::string()));
  Add("system: " + id.system);
}

void ServiceLog::OnLogLine(const std::string& line) { Add(EscapeForTerminal(line)); }

void ServiceLog::OnMessage(const std::string& text, unsigned flags, int answer) {
  std::string line = "[tessarin] " + OneLine(text);
  if ((flags & kMbTypeMask) == kMbYesNo || (flags & kMbTypeMask) == kMbYesNoCancel)
    line += std::string(" [") + AnswerName(answer) + "]";
  Add(line);
}

void ServiceLog::OnDiagnostic(const std::string& text) { Add("tessarin: " + OneLine(text)); }

bool ServiceLog::Finish(const RunOutcome& outcome) {
  block_ += "card after: " + VolumeText(outcome.volumeAfter) + "\n";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", outcome.seconds);
  block_ += "result: " + std::string(ResultName(outcome.status)) + " (exit status " + std::to_string(outcome.status) +
            ") after " + seconds;
  if (!outcome.savedProject.empty())
    block_ += "; the Project folder is saved in " + EscapeForTerminal(outcome.savedProject);
  block_ += "\n\n";
  return WriteBlock();
}

bool ServiceLog::WriteBlock() {
  // One write: runs that end at the same moment append whole blocks.
  const char* p = block_.data();
  std::size_t left = block_.size();
  while (left > 0) {
    const ssize_t w = write(fd_, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    left -= static_cast<std::size_t>(w);
  }
  return true;
}

RunReporting::RunReporting() = default;
RunReporting::~RunReporting() = default;

bool RunReporting::Open(const Options& options, std::string& error) {
  options_ = options;
  if (!options.logFile.empty()) {
    log_ = ServiceLog::Open(options.logFile, error);
    if (!log_) return false;
  }
  if (options.json) json_ = std::make_unique<JsonReport>(stdout);
  if (options.reportFd >= 0) channel_ = std::make_unique<ParentChannel>(options.reportFd);
  return true;
}

std::vector<RunListener*> RunReporting::Listeners() {
  std::vector<RunListener*> listeners;
  if (json_) listeners.push_back(json_.get());
  if (log_) listeners.push_back(log_.get());
  if (channel_) listeners.push_back(channel_.get());
  return listeners;
}

void RunReporting::AskParent(const std::string& question) {
  if (channel_) channel_->Ask(question);
}

void RunReporting::Start(const std::string& given, const CardTarget& target, const std::string& system,
                         const std::string& archive, const std::string& version,
                         const std::optional<std::string>& archiveSha256) {
  started_ = true;
  startedAt_ = std::chrono::steady_clock::now();
  RunIdentity& id = identity_;
  id.target = given;
  id.path = target.path;
  id.blockDevice = target.blockDevice;
  id.sizeBytes = target.sizeBytes;
  id.system = system;
  id.version = version;
  id.archive = archive;
  if (!archive.empty() && archive[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) id.archive = std::string(cwd) + "/" + archive;
  }
  if (!json_ && !log_) return;  // the parent channel needs no identity
  if (target.blockDevice) id.disk = DescribeDisk(target.device, SystemRoots{});
  id.before = SummarizeCardAt(target.path);
  struct stat st {};
  if (stat(archive.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    id.archiveBytes = static_cast<std::uint64_t>(st.st_size);
    // The digest is for the service record; reading a large archive twice
    // is not worth it otherwise.
    if (log_) id.archiveSha256 = archiveSha256 ? archiveSha256 : FileSha256(archive);
  }
  if (json_) json_->Start(id);
  if (log_) log_->Start(id);
}

void RunReporting::Finish(int status) {
  const std::string saved = options_.savedProject ? options_.savedProject() : std::string();
  if (channel_) channel_->Finish(status, saved);
  if (!started_ || (!json_ && !log_)) return;
  RunOutcome outcome;
  outcome.status = status;
  outcome.savedProject = saved;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt_).count();
  const CardSummary after = SummarizeCardAt(identity_.path);
  outcome.volumeAfter = after.volume;
  if (json_) json_->Finish(outcome);
  if (log_ && !log_->Finish(outcome)) {
    std::fprintf(stderr, "tessarin: %s: the run's record could not be appended: %s\n", options_.logFile.c_str(),
                 std::strerror(errno));
  }
}

int RunReporting::Refuse(const std::string& given, const std::string& reason, bool shown) {
  if (!shown) {
    const bool sentence = !reason.empty() && reason.back() == '.';
    std::fprintf(stderr, "tessarin: %s%s Nothing was changed.\n", EscapeForTerminal(reason).c_str(),
                 sentence ? "" : ".");
    std::fflush(stderr);
  }
  return EndBeforeTheCard(given, reason, kExitUsage);
}

int RunReporting::StopBeforeTheCard(const std::string& given) {
  return EndBeforeTheCard(given, "stopped by an interrupt before the card was changed", kExitInterrupted);
}

int RunReporting::EndBeforeTheCard(const std::string& given, const std::string& reason, int status) {
  if (started_) {
    Finish(status);
    return status;
  }
  if (json_) json_->Refused(given, reason, status);
  if (log_ && !log_->Refused(given, identity_.version.empty() ? options_.version : identity_.version, reason, status)) {
    std::fprintf(stderr, "tessarin: %s: the run's record could not be appended: %s\n", options_.logFile.c_str(),
                 std::strerror(errno));
  }
  if (channel_) channel_->Finish(status, {});
  return status;
}

}  // namespace tessarin::linux_port
