// The operator's side on a terminal: log lines on standard output exactly as
// the dialog lists them, message boxes on standard error, the confirmation
// asked on the terminal (or answered by --yes), and the progress of long
// steps on standard error while a terminal watches. Everything it shows is
// also passed on to the run's listeners (reports, the parent program).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "card/operator_port.h"
#include "lx/support/run_events.h"
#include "lx/support/step_progress.h"
#include "lx/terminal/progress_board.h"

namespace tessarin::linux_port {

struct TerminalOptions {
  std::string drive;  // the card's drive entry, "[-e-]"
  bool preserveProject = true;
  bool assumeYes = false;        // --yes: the question is answered Yes
  bool showProgress = false;     // standard error is a terminal: draw the progress line
  bool quiet = false;            // --quiet: the confirmation answered beforehand is not shown
  bool logOnStdout = true;       // false when standard output carries JSON instead
  std::FILE* answers = nullptr;  // where the operator's answers come from
  // Several cards: the question goes to the program that restores them,
  // which asks the operator once for all, and the answer comes back on
  // answers. Called with the question before the answer is read.
  std::function<void(const std::string&)> askElsewhere;
  std::string caption = "tessarin";
  // Called once the operator has confirmed and the card work begins.
  std::function<void()> onRestoreStarted;
  std::vector<RunListener*> listeners;
  // Called after every log line: the steps' boundaries, where the restore
  // may stop without leaving a copy halfway.
  std::function<void()> afterLogLine;
};

class TerminalOperator final : public OperatorPort, public StepProgress {
 public:
  explicit TerminalOperator(TerminalOptions options);
  ~TerminalOperator() override;

  int ShowMessageBox(const std::string& text, unsigned flags) override;
  void AddLogLine(const std::string& line) override;
  void AddLogLineNoScroll(const std::string& line) override;
  void StartProgressAnimation() override {
    if (options_.onRestoreStarted) options_.onRestoreStarted();
  }
  void StopProgressAnimation() override {}
  void SetBusy(bool) override {}
  DialogValues ExchangeIntoMembers() override { return {options_.drive, options_.preserveProject}; }

  void Begin(const std::string& step) override;
  void Update(const std::string& detail) override;
  void Advance(std::uint64_t done, std::uint64_t total) override;
  void End() override;
  bool Visible() const override { return options_.showProgress || !options_.listeners.empty(); }

  // A line about a failure, for standard error ("tessarin: ...").
  void Diagnostic(const std::string& text);

  // One line on standard error with the step that runs and how far it
  // is (SIGUSR1 asks for it).
  void ReportProgress();

  // How long each long step took, in the order they ran.
  std::vector<std::pair<std::string, double>> StepTimes();

 private:
  void ClearProgressLine();  // with mutex_ held
  void DrawProgressLine();   // with mutex_ held
  void Ticker();

  TerminalOptions options_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread ticker_;
  bool stopping_ = false;
  std::unique_ptr<ProgressBoard> board_;  // while a terminal watches
  bool active_ = false;
  std::string step_;
  std::string detail_;
  std::uint64_t done_ = 0;
  std::uint64_t total_ = 0;
  std::chrono::steady_clock::time_point started_;
  std::vector<std::pair<std::string, double>> stepTimes_;
};

}  // namespace tessarin::linux_port
