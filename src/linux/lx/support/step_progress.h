// Progress of a long step (formatting, installing, copying) for the
// operator's terminal.
#pragma once

#include <cstdint>
#include <string>

namespace tessarin::linux_port {

// How the steps that read the card back to prove it begin their names:
// --timings adds them up.
inline constexpr char kVerifyingStep[] = "Verifying";

class StepProgress {
 public:
  virtual ~StepProgress() = default;
  virtual void Begin(const std::string& step) = 0;
  virtual void Update(const std::string& detail) = 0;
  // How much of the step is done, of a total known in advance (bytes).
  virtual void Advance(std::uint64_t /*done*/, std::uint64_t /*total*/) {}
  virtual void End() = 0;
  // True when someone watches (a terminal, a report, the program that
  // runs several restores): only then is it worth having the tools report
  // every file.
  virtual bool Visible() const = 0;
};

// Reports to nobody.
class NoProgress final : public StepProgress {
 public:
  void Begin(const std::string&) override {}
  void Update(const std::string&) override {}
  void End() override {}
  bool Visible() const override { return false; }
};

}  // namespace tessarin::linux_port
