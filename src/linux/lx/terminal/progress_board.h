// Progress a person can read on a terminal: one line per card with its
// step, a bar, what is done of how much and an estimate of the time left,
// redrawn in place (several cards: one line each, the cursor moved up over
// them). Log lines and messages are written between two drawings, so the
// board always stays below them.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tessarin::linux_port {

using SteadyTime = std::chrono::steady_clock::time_point;

struct ProgressRow {
  std::string label;   // the card, when there are several; else empty
  std::string step;    // the long step running, empty when none
  std::string detail;  // where it is ("12 of 300")
  std::uint64_t done = 0;
  std::uint64_t total = 0;  // bytes; 0 when unknown
  SteadyTime started{};
  std::string state;  // shown when no long step runs: the last step, the result
};

// One row as text, at most width characters wide. tick turns the spinner.
std::string RenderProgressRow(const ProgressRow& row, std::size_t labelWidth, SteadyTime now, unsigned tick,
                              std::size_t width);

// "1:05 left" for the time a step still needs at its rate so far; empty
// when too little is known yet.
std::string TimeLeft(std::uint64_t done, std::uint64_t total, double secondsSoFar);

// "45.2 of 100.0 MB"
std::string AmountText(std::uint64_t done, std::uint64_t total);

class ProgressBoard {
 public:
  // Draws on out (a terminal); rows lines.
  ProgressBoard(std::FILE* out, std::size_t rows);

  ProgressRow& row(std::size_t i) { return rows_.at(i); }
  std::size_t size() const { return rows_.size(); }

  // Erases what was drawn; the cursor is left where the board began.
  void Erase();
  // Draws every row (again).
  void Draw();

 private:
  std::FILE* out_;
  std::vector<ProgressRow> rows_;
  bool drawn_ = false;
  unsigned tick_ = 0;
};

// True when fd is a terminal that moves its cursor as told: a progress
// board is drawn in place there only. A dumb terminal (TERM=dumb, or no
// TERM at all), a file or a pipe gets no escape sequence.
bool DrawsInPlace(int fd);

// The terminal's width in characters (80 when it cannot be told).
std::size_t TerminalWidth(int fd);

}  // namespace tessarin::linux_port
