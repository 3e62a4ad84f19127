// tessarin: restores the panel's system onto a card given as a block device
// or a whole-card image file, with the restore sequence of the Windows
// program, from the command line.
#include <signal.h>

#include <clocale>
#include <cstdlib>

#include "lx/app/card_restore.h"
#include "lx/app/interrupts.h"
#include "lx/app/options.h"
#include "lx/app/several_command.h"
#include "lx/card/card_list.h"
#include "lx/support/process.h"
#include "lx/support/run_events.h"

namespace {

// The process as every command expects it; false when a standard
// descriptor cannot be given back.
bool PrepareTheProcess() {
  // With a standard descriptor closed, the first file opened would take
  // its number: the card would receive the log.
  if (!tessarin::linux_port::ReopenClosedStandardDescriptors()) return false;
  // A reader of the log that goes away (tessarin ... | head) must not stop
  // the restore halfway: the writes to it fail, the restore goes on, and
  // the messages and the exit status still tell how it ended.
  signal(SIGPIPE, SIG_IGN);
  // SIGUSR1 asks for progress; whatever the program does then, it goes on.
  tessarin::linux_port::TakeProgressRequests();
  // The clock in the log as the operator reads it; the system's reasons
  // (strerror, strsignal) stay in English, as the sentences around them
  // are: LC_MESSAGES is left "C" whatever the environment says.
  std::setlocale(LC_TIME, "");
  // File names are UTF-8 throughout: in the archive's entries (libarchive
  // converts them to this locale's character set) and in the saved copy.
  std::setlocale(LC_CTYPE, "C.UTF-8");
  // Every file of a project folder has its time stamp converted; without
  // TZ, the C library looks at /etc/localtime again for each one. The same
  // zone, named once.
  setenv("TZ", ":/etc/localtime", 0);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessarin::linux_port;
  if (!PrepareTheProcess()) return kExitUsage;
  const CommandLine command = ReadCommandLine(argc, argv);
  if (!command.options) return command.status;
  const Options& options = *command.options;
  if (options.list || options.targets.size() > 1) {
    UnblockInterrupts();
    return options.list ? ListCardsCommand(options.listOptions, options.json) : RestoreSeveralCommand(options);
  }
  GuardTheStart();
  CardRestore restore(options);
  return restore.Run();
}
