#include "lx/terminal/terminal_operator.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "card/card_types.h"
#include "lx/support/terminal_text.h"

namespace tessarin::linux_port {

TerminalOperator::TerminalOperator(TerminalOptions options) : options_(std::move(options)) {
  if (options_.showProgress) {
    board_ = std::make_unique<ProgressBoard>(stderr, 1);
    ticker_ = std::thread([this] { Ticker(); });
  }
}

TerminalOperator::~TerminalOperator() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
}

void TerminalOperator::ClearProgressLine() {
  if (board_) board_->Erase();
}

void TerminalOperator::DrawProgressLine() {
  if (board_ && active_) board_->Draw();
}

void TerminalOperator::Ticker() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, std::chrono::milliseconds(250));
    if (!stopping_) DrawProgressLine();
  }
  ClearProgressLine();
}

void TerminalOperator::Begin(const std::string& step) {
  std::lock_guard lock(mutex_);
  step_ = step;
  detail_.clear();
  done_ = total_ = 0;
  active_ = true;
  started_ = std::chrono::steady_clock::now();
  if (board_) {
    board_->row(0) = ProgressRow{};
    board_->row(0).step = step;
    board_->row(0).started = started_;
  }
  DrawProgressLine();
  for (RunListener* l : options_.listeners) l->OnStepBegin(step);
}

void TerminalOperator::Update(const std::string& detail) {
  std::lock_guard lock(mutex_);
  detail_ = detail;
  if (board_) board_->row(0).detail = detail;
  for (RunListener* l : options_.listeners) l->OnStepDetail(detail);
}

void TerminalOperator::Advance(std::uint64_t done, std::uint64_t total) {
  std::lock_guard lock(mutex_);
  done_ = done;
  total_ = total;
  if (board_) {
    board_->row(0).done = done;
    board_->row(0).total = total;
  }
  for (RunListener* l : options_.listeners) l->OnStepAdvance(done, total);
}

void TerminalOperator::End() {
  std::lock_guard lock(mutex_);
  if (active_)
    stepTimes_.emplace_back(step_, std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
  active_ = false;
  ClearProgressLine();
  for (RunListener* l : options_.listeners) l->OnStepEnd();
}

void TerminalOperator::ReportProgress() {
  std::lock_guard lock(mutex_);
  std::string line = options_.caption + ": progress: ";
  if (!active_) {
    line += "between steps";
  } else if (total_ > 0) {
    char figures[96];
    std::snprintf(figures, sizeof figures, ": %llu of %llu bytes (%.0f%%)", static_cast<unsigned long long>(done_),
                  static_cast<unsigned long long>(total_),
                  100.0 * static_cast<double>(std::min(done_, total_)) / static_cast<double>(total_));
    line += EscapeForTerminal(step_) + figures;
  } else {
    line += EscapeForTerminal(step_);
    if (!detail_.empty()) line += ": " + EscapeForTerminal(detail_);
  }
  ClearProgressLine();
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  DrawProgressLine();
}

std::vector<std::pair<std::string, double>> TerminalOperator::StepTimes() {
  std::lock_guard lock(mutex_);
  return stepTimes_;
}

void TerminalOperator::AddLogLine(const std::string& line) {
  {
    std::lock_guard lock(mutex_);
    if (options_.logOnStdout) {
      ClearProgressLine();
      std::fputs(EscapeForTerminal(line).c_str(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
      DrawProgressLine();
    }
    for (RunListener* l : options_.listeners) l->OnLogLine(line);
  }
  if (options_.afterLogLine) options_.afterLogLine();
}

void TerminalOperator::AddLogLineNoScroll(const std::string& line) { AddLogLine(line); }

void TerminalOperator::Diagnostic(const std::string& text) {
  std::lock_guard lock(mutex_);
  ClearProgressLine();
  std::fprintf(stderr, "%s: %s\n", options_.caption.c_str(), EscapeForTerminal(text).c_str());
  std::fflush(stderr);
  DrawProgressLine();
  for (RunListener* l : options_.listeners) l->OnDiagnostic(text);
}

int TerminalOperator::ShowMessageBox(const std::string& text, unsigned flags) {
  std::unique_lock lock(mutex_);
  ClearProgressLine();
  const int answer = [&] {
    std::string body = text;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
    std::fflush(stdout);
    const std::string shown = EscapeForTerminal(body, true);
    const unsigned type = flags & kMbTypeMask;
    const bool question = type == kMbYesNo || type == kMbYesNoCancel;
    // --yes confirms the restore; a question whose safe answer is No (the
    // default button) is answered No, as by an operator pressing Enter.
    // So is such a question in a restore of several cards: only the
    // confirmation is asked once for all of them.
    if (question && (flags & kMbDefButton2) != 0 && (options_.assumeYes || options_.askElsewhere)) {
      std::fprintf(stderr, "[%s] %s\n[Yes/No, default No] no (%s)\n", options_.caption.c_str(), shown.c_str(),
                   options_.assumeYes ? "--yes answers only the restore's confirmation"
                                      : "only the restore's confirmation is asked for several cards");
      std::fflush(stderr);
      return kIdNo;
    }
    if (question && !options_.assumeYes && options_.answers != nullptr && options_.askElsewhere) {
      // Asked once for every card by the program that restores them; this
      // card's record still shows the question and its answer.
      options_.askElsewhere(body);
      char reply[16] = {};
      const bool yes = std::fgets(reply, sizeof reply, options_.answers) != nullptr && std::strcmp(reply, "yes\n") == 0;
      if (!options_.quiet)
        std::fprintf(stderr, "[%s] %s\n[Yes/No, default No] %s (asked once for every card)\n", options_.caption.c_str(),
                     shown.c_str(), yes ? "yes" : "no");
      std::fflush(stderr);
      return yes ? kIdYes : kIdNo;
    }
    // --quiet: the confirmation answered beforehand is not repeated.
    if (question && options_.assumeYes && options_.quiet) return kIdYes;
    // The box's caption, then its text as the dialog's box shows it.
    std::fprintf(stderr, "[%s] %s\n", options_.caption.c_str(), shown.c_str());
    if (!question) {
      std::fflush(stderr);
      return kIdOk;
    }
    if (options_.assumeYes) {
      std::fputs("[Yes/No, default No] yes (--yes)\n", stderr);
      std::fflush(stderr);
      return kIdYes;
    }
    if (options_.answers == nullptr) {
      std::fputs("[Yes/No, default No] no (no terminal to ask)\n", stderr);
      std::fflush(stderr);
      return kIdNo;
    }
    std::fputs("[Yes/No, default No] ", stderr);
    std::fflush(stderr);
    char reply[64] = {};
    const bool got = std::fgets(reply, sizeof reply, options_.answers) != nullptr;
    std::string word;
    for (const char* p = reply; *p != '\0'; ++p)
      if (!std::isspace(static_cast<unsigned char>(*p)))
        word += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    if (!got) std::fputc('\n', stderr);
    return (word == "y" || word == "yes") ? kIdYes : kIdNo;
  }();
  DrawProgressLine();
  for (RunListener* l : options_.listeners) l->OnMessage(text, flags, answer);
  return answer;
}

}  // namespace tessarin::linux_port
