#include "lx/app/several_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "card/card_types.h"
#include "lx/several/parallel_restore.h"
#include "lx/support/terminal_text.h"
#include "lx/terminal/progress_board.h"
#include "lx/terminal/terminal_operator.h"
#include "res/string_ids.h"
#include "res/string_table.h"

namespace tessarin::linux_port {

// Several cards: each restored by a process of its own (with --check, each
// checked by one: the same hold, checks and texts as its restore). They are asked
// about once, together, before any of them starts.
int RestoreSeveralCommand(const Options& o) {
  const std::vector<std::string>& targets = o.targets;
  // The same card twice would be two restores fighting over it.
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (const std::string& t : targets) {
    struct stat st {};
    if (stat(t.c_str(), &st) != 0) continue;  // its own restore says why
    const std::pair<dev_t, ino_t> id =
        S_ISBLK(st.st_mode) ? std::pair<dev_t, ino_t>{st.st_rdev, 0} : std::pair<dev_t, ino_t>{st.st_dev, st.st_ino};
    if (std::find(seen.begin(), seen.end(), id) != seen.end())
      return Usage("the card " + EscapeForTerminal(t) + " is given more than once");
    seen.push_back(id);
  }
  if (!o.yes && !o.check && isatty(STDIN_FILENO) == 0) {
    std::fputs("tessarin: no terminal to confirm the restore on; give --yes to restore without asking\n", stderr);
    return kExitUsage;
  }
  ParallelOptions options;
  if (!o.yes && !o.check) {
    // Each card is held and checked by its own restore first; the operator
    // is asked once, for the cards that passed.
    options.confirm = [&targets](const std::vector<std::string>& ready) {
      std::string question = TableString(IDS_CONFIRM_RESTORE) + "s";
      for (std::size_t i = 0; i < ready.size(); ++i) question += (i == 0 ? " " : ", ") + EscapeForTerminal(ready[i]);
      question += "?";
      TerminalOptions ask;
      ask.answers = stdin;
      TerminalOperator ui(ask);
      std::fprintf(stderr, "tessarin: %zu of %zu cards passed their checks, each called drive %c: in its own lines\n",
                   ready.size(), targets.size(), kCardLetter);
      return ui.ShowMessageBox(question, kMbYesNo | kMbIconQuestion) == kIdYes;
    };
  }
  options.arguments = o.SharedArguments();
  options.json = o.json;
  options.timings = o.timings;
  options.board = !o.json && !o.check && !o.quiet && DrawsInPlace(STDERR_FILENO);
  // --check: each card's verdict is its own line; a table of "restored"
  // would say what did not happen.
  options.summary = !o.check;
  int worst = kExitRestored;
  for (const CardResult& r : RestoreSeveral(targets, options)) worst = WorseStatus(worst, r.status);
  return worst;
}

}  // namespace tessarin::linux_port
