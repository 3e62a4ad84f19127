#include "lx/terminal/progress_board.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "lx/support/terminal_text.h"

namespace tessarin::linux_port {
namespace {

std::size_t Characters(const std::string& s) {
  return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The first n characters of s.
std::string FirstCharacters(const std::string& s, std::size_t n) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((s[i] & 0xC0) != 0x80) {
      if (chars == n) return s.substr(0, i);
      ++chars;
    }
  }
  return s;
}

std::string Padded(const std::string& s, std::size_t width) {
  const std::size_t n = Characters(s);
  return n >= width ? s : s + std::string(width - n, ' ');
}

}  // namespace

std::string AmountText(std::uint64_t done, std::uint64_t total) {
  char buf[64];
  const double scale = total >= 10'000'000'000ull ? 1e9 : total >= 10'000'000 ? 1e6 : 1e3;
  const char* unit = scale == 1e9 ? "GB" : scale == 1e6 ? "MB" : "kB";
  std::snprintf(buf, sizeof buf, "%.1f of %.1f %s", static_cast<double>(done) / scale,
                static_cast<double>(total) / scale, unit);
  return buf;
}

std::string TimeLeft(std::uint64_t done, std::uint64_t total, double secondsSoFar) {
  // A rate needs a second of history and a little of the work.
  if (done == 0 || total == 0 || done >= total || secondsSoFar < 1.0) return {};
  const double left = secondsSoFar * static_cast<double>(total - done) / static_cast<double>(done);
  if (left > 99 * 3600) return {};
  const long s = std::lround(left);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld left", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld left", s / 60, s % 60);
  return buf;
}

std::string RenderProgressRow(const ProgressRow& row, std::size_t labelWidth, SteadyTime now, unsigned tick,
                              std::size_t width) {
  static const char kSpinner[] = "|/-\\";
  std::string text;
  if (!row.label.empty()) text = Padded(EscapeForTerminal(row.label) + ":", labelWidth + 1) + " ";
  if (row.step.empty()) {
    text += row.state;
  } else {
    const double seconds = std::chrono::duration<double>(now - row.started).count();
    text += kSpinner[tick % 4];
    text += ' ';
    text += EscapeForTerminal(row.step);
    if (row.total > 0) {
      const std::uint64_t done = std::min(row.done, row.total);
      constexpr std::size_t kBar = 20;
      const auto filled = static_cast<std::size_t>(done * kBar / row.total);
      text += "  [" + std::string(filled, '#') + std::string(kBar - filled, '.') + "]  " + AmountText(done, row.total);
      if (const std::string left = TimeLeft(done, row.total, seconds); !left.empty()) text += "  " + left;
    } else {
      if (!row.detail.empty()) text += ": " + EscapeForTerminal(row.detail);
      text += "  " + std::to_string(static_cast<long>(seconds)) + " s";
    }
  }
  // A row that wraps would spoil the cursor's way back up.
  return width > 1 && Characters(text) > width - 1 ? FirstCharacters(text, width - 1) : text;
}

ProgressBoard::ProgressBoard(std::FILE* out, std::size_t rows) : out_(out), rows_(rows) {}

void ProgressBoard::Erase() {
  if (!drawn_) return;
  if (rows_.size() == 1) {
    std::fputs("\r\033[K", out_);
  } else {
    std::fprintf(out_, "\r\033[%zuA\033[J", rows_.size() - 1);
  }
  std::fflush(out_);
  drawn_ = false;
}

void ProgressBoard::Draw() {
  const std::size_t width = TerminalWidth(fileno(out_));
  std::size_t labelWidth = 0;
  for (const ProgressRow& r : rows_) labelWidth = std::max(labelWidth, Characters(EscapeForTerminal(r.label)));
  const SteadyTime now = std::chrono::steady_clock::now();
  std::string text;
  if (drawn_)
    text = rows_.size() == 1 ? "\r\033[K" : "\r\033[" + std::to_string(rows_.size() - 1) + "A\033[J";
  else
    text = "\r\033[K";
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (i > 0) text += '\n';
    text += RenderProgressRow(rows_[i], labelWidth, now, tick_, width);
  }
  ++tick_;
  std::fputs(text.c_str(), out_);
  std::fflush(out_);
  drawn_ = true;
}

bool DrawsInPlace(int fd) {
  if (isatty(fd) == 0) return false;
  const char* term = std::getenv("TERM");
  return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

std::size_t TerminalWidth(int fd) {
  winsize ws{};
  if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

}  // namespace tessarin::linux_port
