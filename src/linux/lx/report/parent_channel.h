// The channel between a card's restore and the program that restores
// several cards at once: one line per message, its fields separated by tabs.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "lx/support/run_events.h"

namespace tessarin::linux_port {

// A card's restore reports to the program that runs several, over a pipe:
// what it is doing, how far a long step is, and how it ended.
class ParentChannel final : public RunListener {
 public:
  explicit ParentChannel(int fd) : fd_(fd) {}
  void OnLogLine(const std::string& line) override;
  void OnStepBegin(const std::string& step) override;
  void OnStepDetail(const std::string& detail) override;
  void OnStepAdvance(std::uint64_t done, std::uint64_t total) override;
  void OnStepEnd() override;
  // The card passed its checks and waits for the operator's answer.
  void Ask(const std::string& question);
  // The result, and the folder a saved project waits in (empty: none).
  void Finish(int status, const std::string& savedProject);

 private:
  void Send(const std::vector<std::string>& fields);
  int fd_;
  std::chrono::steady_clock::time_point lastAdvance_{};
};

// One message of the channel: its fields, as sent.
std::string EncodeChannelMessage(const std::vector<std::string>& fields);
std::vector<std::string> DecodeChannelMessage(const std::string& line);

}  // namespace tessarin::linux_port
