// The restore of one card, composed: the target and its hold, the card's
// volume, the adapters of the ports, the reports, the restore's state and
// the rule that stops it at a step's boundary.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "card/operation_log.h"
#include "card/system_kinds.h"
#include "lx/app/options.h"
#include "lx/app/platform_ports.h"
#include "lx/card/card_hold.h"
#include "lx/card/card_target.h"
#include "lx/report/run_reports.h"
#include "lx/terminal/terminal_operator.h"
#include "restore/restore_sequence.h"

namespace tessarin::linux_port {

// The exit status of a restore that ran: what the sequence says, and
// whether the card was changed all the same.
int ExitStatusFor(RestoreResult result, bool cardChanged);

class CardRestore {
 public:
  explicit CardRestore(const Options& options);
  ~CardRestore();
  CardRestore(const CardRestore&) = delete;
  CardRestore& operator=(const CardRestore&) = delete;

  // Checks the card, asks, restores; returns the exit status.
  int Run();

 private:
  struct Adapters;

  std::optional<int> Start();
  void MakeOperator();
  std::optional<int> HoldTheCard();
  std::optional<int> CheckBeforeTheQuestion();
  std::optional<int> CheckArchiveDigest();
  int WouldBeRestored();
  std::string WhyNoCardDefinition(double capacity);
  std::string DefinitionsInUse();
  void Announce();
  int RunSequence();
  void ReportTimings(std::chrono::steady_clock::time_point started);

  int Refuse(const std::string& why);
  int StopBeforeTheCard();
  int FailedUnexpectedly(const std::string& what);
  [[noreturn]] void StopAtBoundary();
  void OnRestoreStarted();
  std::string NameSavedProject();

  const Options& options_;
  const std::string given_;
  RunReporting reports_;
  std::optional<CardTarget> target_;
  std::FILE* parentAnswers_ = nullptr;
  SystemKind kind_ = SystemKind::WinCE;
  std::string archive_;
  // The archive's digest, once read (--sha256): the service record's too.
  std::optional<std::string> archiveSha256_;
  std::unique_ptr<TerminalOperator> ui_;
  LinuxSystem system_;
  BuiltInResources resources_;
  std::unique_ptr<FileProfile> profile_;
  std::unique_ptr<OperationLog> log_;
  std::unique_ptr<CardHold> hold_;
  std::unique_ptr<Adapters> adapters_;
  // The restore sequence runs: an interrupt that asked to stop does so at
  // the next step's boundary.
  bool stopAtBoundary_ = false;
};

}  // namespace tessarin::linux_port
