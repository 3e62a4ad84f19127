#include "linux/terminal_operator.h"

#include <cctype>

#include "card/card_types.h"
#include "linux/terminal_text.h"

namespace tessarin::linux_port {

TerminalOperator::TerminalOperator(TerminalOptions options) : options_(std::move(options)) {
  if (options_.showProgress) ticker_ = std::thread([this] { Ticker(); });
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
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

void TerminalOperator::DrawProgressLine() {
  if (!options_.showProgress || !active_) return;
  static const char kSpinner[] = "|/-\\";
  const auto elapsed = std::chrono::steady_clock::now() - started_;
  const long seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
  const long tick = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 250);
  std::fprintf(stderr, "\r\033[K%c %s%s%s  %ld s", kSpinner[tick % 4], step_.c_str(), detail_.empty() ? "" : ": ",
               detail_.c_str(), seconds);
  std::fflush(stderr);
  drawn_ = true;
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
  active_ = true;
  started_ = std::chrono::steady_clock::now();
  DrawProgressLine();
}

void TerminalOperator::Update(const std::string& detail) {
  std::lock_guard lock(mutex_);
  detail_ = detail;
}

void TerminalOperator::End() {
  std::lock_guard lock(mutex_);
  if (active_)
    stepTimes_.emplace_back(step_, std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
  active_ = false;
  ClearProgressLine();
}

std::vector<std::pair<std::string, double>> TerminalOperator::StepTimes() {
  std::lock_guard lock(mutex_);
  return stepTimes_;
}

void TerminalOperator::AddLogLine(const std::string& line) {
  {
    std::lock_guard lock(mutex_);
    ClearProgressLine();
    std::fputs(EscapeForTerminal(line).c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  if (options_.afterLogLine) options_.afterLogLine();
}

void TerminalOperator::AddLogLineNoScroll(const std::string& line) { AddLogLine(line); }

void TerminalOperator::Diagnostic(const std::string& text) {
  std::lock_guard lock(mutex_);
  ClearProgressLine();
  std::fprintf(stderr, "%s: %s\n", options_.caption.c_str(), EscapeForTerminal(text).c_str());
  std::fflush(stderr);
}

int TerminalOperator::ShowMessageBox(const std::string& text, unsigned flags) {
  std::unique_lock lock(mutex_);
  ClearProgressLine();
  std::string body = text;
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
  std::fflush(stdout);
  // The box's caption, then its text as the dialog's box shows it.
  std::fprintf(stderr, "[%s] %s\n", options_.caption.c_str(), EscapeForTerminal(body, true).c_str());
  const unsigned type = flags & kMbTypeMask;
  if (type != kMbYesNo && type != kMbYesNoCancel) {
    std::fflush(stderr);
    return kIdOk;
  }
  // --yes confirms the restore; a question whose safe answer is No (the
  // default button) is answered No, as by an operator pressing Enter.
  if (options_.assumeYes && (flags & kMbDefButton2) != 0) {
    std::fputs("[Yes/No, default No] no (--yes answers only the restore's confirmation)\n", stderr);
    std::fflush(stderr);
    return kIdNo;
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
  char answer[64] = {};
  const bool got = std::fgets(answer, sizeof answer, options_.answers) != nullptr;
  std::string word;
  for (const char* p = answer; *p != '\0'; ++p)
    if (!std::isspace(static_cast<unsigned char>(*p)))
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  if (!got) std::fputc('\n', stderr);
  return (word == "y" || word == "yes") ? kIdYes : kIdNo;
}

}  // namespace tessarin::linux_port
