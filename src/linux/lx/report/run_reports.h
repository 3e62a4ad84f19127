// The reports of one restore besides the terminal: one JSON object per
// line on standard output for machines (--json), and the block a run
// appends to the service record (--log FILE).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lx/card/card_list.h"
#include "lx/card/card_summary.h"
#include "lx/card/card_target.h"
#include "lx/support/run_events.h"

namespace tessarin::linux_port {

// What the reports say about a run before it starts.
struct RunIdentity {
  std::string target;  // as given on the command line
  std::string path;    // the card's absolute path
  bool blockDevice = false;
  std::uint64_t sizeBytes = 0;
  std::optional<ListedCard> disk;  // a block device's bus, vendor, model, serial
  CardSummary before;              // the card as it was found
  std::string system;              // "Windows CE"
  std::string archive;             // the installer archive's path
  std::optional<std::uint64_t> archiveBytes;
  std::optional<std::string> archiveSha256;
  std::string version;
};

// How it ended.
struct RunOutcome {
  int status = kExitFailed;
  std::string savedProject;                   // the folder where the project waits; empty when none
  std::optional<VolumeIdentity> volumeAfter;  // the card's volume as the run left it
  double seconds = 0;
};

// The card's identity as a JSON object.
std::string CardIdentityJson(const RunIdentity& id, const std::optional<VolumeIdentity>& volume);

class JsonReport final : public RunListener {
 public:
  explicit JsonReport(std::FILE* out) : out_(out) {}

  void Start(const RunIdentity& id);
  void Finish(const RunOutcome& outcome);
  // The run ended before the card was touched: refused (2) or stopped (130).
  void Refused(const std::string& given, const std::string& reason, int status = kExitUsage);

  void OnLogLine(const std::string& line) override;
  void OnMessage(const std::string& text, unsigned flags, int answer) override;
  void OnDiagnostic(const std::string& text) override;
  void OnStepBegin(const std::string& step) override;
  void OnStepDetail(const std::string& detail) override;
  void OnStepAdvance(std::uint64_t done, std::uint64_t total) override;
  void OnStepEnd() override;

 private:
  class Event;
  Event NewEvent(const char* name);
  void Emit(const std::string& line);
  void EndOpenStep(const char* state);

  std::FILE* out_;
  RunIdentity id_;
  std::string step_;  // the sequence step running
  std::chrono::steady_clock::time_point stepStarted_;
  std::string task_;  // the long step running within it
  std::string taskDetail_;
  std::chrono::steady_clock::time_point lastProgress_;
  std::uint64_t lastDone_ = 0;
  std::uint64_t lastTotal_ = 0;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

class ServiceLog final : public RunListener {
 public:
  // Opens file for appending (made when missing). None, with the reason in
  // error, when it cannot be.
  static std::unique_ptr<ServiceLog> Open(const std::string& file, std::string& error);
  ~ServiceLog() override;

  void Start(const RunIdentity& id);
  // Appends the run's whole block in one write; false (errno set) when the
  // file would not take it.
  bool Finish(const RunOutcome& outcome);
  // A run that never reached the card: the header and the reason.
  bool Refused(const std::string& given, const std::string& version, const std::string& reason,
               int status = kExitUsage);

  void OnLogLine(const std::string& line) override;
  void OnMessage(const std::string& text, unsigned flags, int answer) override;
  void OnDiagnostic(const std::string& text) override;

 private:
  explicit ServiceLog(int fd) : fd_(fd) {}
  void Add(const std::string& line);
  void Header(const std::string& version);
  bool WriteBlock();

  int fd_;
  std::string block_;
};

class ParentChannel;

// The reports a run was asked for, together: opened before the card is
// touched, told who the card is, and told how the run ended.
class RunReporting {
 public:
  struct Options {
    bool json = false;    // JSON lines on standard output instead of the log
    std::string logFile;  // the service record to append to; empty: none
    int reportFd = -1;    // the channel to the program that restores several cards
    std::function<std::string()> savedProject;
    std::string version;
  };
  RunReporting();
  ~RunReporting();

  // False, with the reason, when the service record cannot be opened.
  bool Open(const Options& options, std::string& error);
  std::vector<RunListener*> Listeners();
  // Several cards: hands the question to the program that restores them.
  void AskParent(const std::string& question);

  // archiveSha256: the archive's digest when the run has read it already.
  void Start(const std::string& given, const CardTarget& target, const std::string& system, const std::string& archive,
             const std::string& version, const std::optional<std::string>& archiveSha256 = std::nullopt);
  void Finish(int status);
  // The run stops before the card is touched: standard error says why
  // (unless shown already), and so does every report. Returns the exit
  // status for it (2).
  int Refuse(const std::string& given, const std::string& reason, bool shown = false);
  // The run is stopped by an interrupt before the card is touched: every
  // report says so. Returns the exit status for it (130).
  int StopBeforeTheCard(const std::string& given);
  bool Started() const { return started_; }

 private:
  int EndBeforeTheCard(const std::string& given, const std::string& reason, int status);
  Options options_;
  std::unique_ptr<JsonReport> json_;
  std::unique_ptr<ServiceLog> log_;
  std::unique_ptr<ParentChannel> channel_;
  RunIdentity identity_;
  bool started_ = false;
  std::chrono::steady_clock::time_point startedAt_;
};

}  // namespace tessarin::linux_port
