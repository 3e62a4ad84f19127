// The command line of tessarin, read into one value.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lx/card/card_list.h"

namespace tessarin::linux_port {

// The drive letter the card goes by in the restore's texts and card paths.
inline constexpr char kCardLetter = 'e';

struct Options {
  std::string dir;  // --dir: the working directory; empty: the current one
  bool yes = false;
  bool preserve = true;
  bool timings = false;
  bool check = false;  // --check: the checks before the question, and no more
  std::string sha256;  // --sha256: the installer archive's expected digest, lower case; empty: any
  bool quiet = false;  // --quiet: on standard error only the failures and the result
  bool list = false;
  bool json = false;
  CardListOptions listOptions;
  std::string logFile;
  int reportFd = -1;    // the channel of the program that restores several cards
  int answerFd = -1;    // where that program sends the operator's answer
  std::string saveDir;  // absolute; the default save folder when not given
  std::string putBack;  // absolute; empty: the card's own Project folder
  std::vector<std::string> targets;

  // The options every card's restore gets when several are restored.
  std::vector<std::string> SharedArguments() const;
};

// The options, or the exit status when the command line asks for no
// restore (--help, --version) or is wrong (2, said on standard error).
struct CommandLine {
  std::optional<Options> options;
  int status = 0;
};
CommandLine ReadCommandLine(int argc, char** argv);

// Says what is wrong with the command line on standard error; returns 2.
int Usage(const std::string& problem);

}  // namespace tessarin::linux_port
