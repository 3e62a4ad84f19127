// Several cards at once: every target is restored by a process of its own
// (this program again, with one target), each under its own hold,
// temporary folder and checks, so that one card's failure touches no other.
// This process multiplexes their output (every line prefixed with its
// target), shows one progress line per card on a terminal, passes
// interrupts on, and ends with a table of the results and the worst exit
// status.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lx/report/parent_channel.h"
#include "lx/support/run_events.h"

namespace tessarin::linux_port {

// The order of the exit statuses from best to worst, for the status of
// several restores: 0 restored, 3 declined, 2 refused (nothing changed),
// 4 restored but the project folder waits, 1 failed, 130 stopped by an
// interrupt (any other status counts as failed).
int WorseStatus(int a, int b);

struct ParallelOptions {
  std::vector<std::string> arguments;  // the options every card's restore gets
  bool json = false;                   // the children write JSON lines: passed on as they are
  bool board = false;                  // standard error is a terminal: one progress line per card
  bool timings = false;
  bool summary = true;  // the table (or JSON object) of the results at the end
  // Asks the operator once, when every restore has either ended or passed
  // its checks and waits for the answer, about the cards waiting; true for
  // Yes. None: the restores go on without asking (--yes).
  std::function<bool(const std::vector<std::string>& ready)> confirm;
};

struct CardResult {
  std::string target;
  int status = kExitFailed;
  std::string detail;        // "killed by signal 9", ...
  std::string savedProject;  // where its project folder waits; empty when nothing waits
};

// Runs the restores, waits for all of them and prints the summary. The
// returned results are in the targets' order.
std::vector<CardResult> RestoreSeveral(const std::vector<std::string>& targets, const ParallelOptions& options);

// The summary for people: a table of target, result and saved folder.
std::string SummaryTable(const std::vector<CardResult>& results);
// The summary for machines: one JSON object.
std::string SummaryJson(const std::vector<CardResult>& results, int status);

}  // namespace tessarin::linux_port
