// tessarin: restores the panel's system onto a card given as a block device
// or a whole-card image file, with the restore sequence of the Windows
// program, from the command line.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "card/card_types.h"
#include "card/system_kinds.h"
#include "install/firmware.h"
#include "install/project_folder.h"
#include "linux/archive_installer.h"
#include "linux/card_fat.h"
#include "linux/card_files.h"
#include "linux/card_format.h"
#include "linux/card_target.h"
#include "linux/linux_card.h"
#include "linux/platform_ports.h"
#include "linux/step_progress.h"
#include "linux/terminal_operator.h"
#include "res/string_ids.h"
#include "res/string_table.h"
#include "restore/restore_sequence.h"

namespace {

using namespace tessarin;
using namespace tessarin::linux_port;

// The drive letter the card goes by in the restore's texts and card paths.
constexpr char kCardLetter = 'e';

enum ExitCode {
  kExitRestored = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitDeclined = 3,
  kExitProjectNotRestored = 4,
};

const char kUsage[] =
    "Usage: tessarin [OPTION]... TARGET\n"
    "Restore the panel's system onto the card TARGET: a whole card as a block\n"
    "device (/dev/sdX, /dev/mmcblkN) or a whole-card image file whose MBR\n"
    "describes a first partition. Everything on that partition is deleted;\n"
    "its Project folder is saved first and put back at the end.\n"
    "\n"
    "The system kind follows the installer archive found in the working\n"
    "directory (romdossys.exe, dossys.exe, wincesys.exe, probed in this order;\n"
    "Windows CE when none is there); CFDef.ini is read from there too.\n"
    "The card is called drive e: in the log and the messages.\n"
    "\n"
    "Options:\n"
    "  -d, --dir=DIR      working directory: the installer archive and CFDef.ini\n"
    "                     (default: the current directory)\n"
    "  -y, --yes          answer the confirmation Yes (scripts, production lines);\n"
    "                     without a terminal the restore needs it\n"
    "      --no-preserve  do not save and restore the card's Project folder\n"
    "      --timings      report on standard error how long the restore took, each\n"
    "                     long step (the proofs that read the card back among\n"
    "                     them), the pauses the sequence prescribes, and what\n"
    "                     reading the card back cost in all\n"
    "  -h, --help         show this help and exit\n"
    "  -V, --version      show the version and exit\n"
    "\n"
    "The log goes to standard output, one line per step, as the Windows\n"
    "program lists it; messages and progress go to standard error.\n"
    "\n"
    "Exit status:\n"
    "  0  the system was restored, and the Project folder put back; the card\n"
    "     gave back all of it as written\n"
    "  1  the restore stopped at a failed step (the messages say which)\n"
    "  2  wrong usage, a target that cannot be used, or no terminal to confirm on\n"
    "     without --yes; nothing was changed\n"
    "  3  the confirmation was answered No; nothing was changed\n"
    "  4  the system was restored, but the Project folder could not be put back;\n"
    "     it waits in the temporary folder the last log line names\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "tessarin: %s\nTry 'tessarin --help' for more information.\n", problem);
  return kExitUsage;
}

std::string Megabytes(std::uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

// Stopping halfway can leave the card unusable, and the saved project
// folder where only the log would have named it: the first interrupt only
// warns, a second one stops.
std::atomic<int> g_interrupts{0};

extern "C" void OnInterrupt(int) {
  if (g_interrupts.fetch_add(1) == 0) {
    static const char kWarning[] =
        "\ntessarin: stopping now can leave the card unusable; the restore goes on. "
        "Interrupt again to stop anyway.\n";
    (void)!write(STDERR_FILENO, kWarning, sizeof kWarning - 1);
    return;
  }
  static const char kStopped[] =
      "\ntessarin: stopped. The card may be unusable; a saved Project folder stays in the temporary "
      "directory as QV<number>/Project.\n";
  (void)!write(STDERR_FILENO, kStopped, sizeof kStopped - 1);
  _exit(130);
}

void GuardAgainstInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // A reader of the log that goes away (tessarin ... | head) must not stop
  // the restore halfway: the writes to it fail, the restore goes on, and
  // the messages and the exit status still tell how it ended.
  signal(SIGPIPE, SIG_IGN);
  std::setlocale(LC_TIME, "");
  std::setlocale(LC_MESSAGES, "");
  // File names are UTF-8 throughout: in the archive's entries (libarchive
  // converts them to this locale's character set) and in the saved copy.
  std::setlocale(LC_CTYPE, "C.UTF-8");

  std::string dir;
  bool yes = false, preserve = true, timings = false;
  enum { kOptNoPreserve = 256, kOptTimings };
  static const option kLongOptions[] = {{"dir", required_argument, nullptr, 'd'},
                                        {"yes", no_argument, nullptr, 'y'},
                                        {"no-preserve", no_argument, nullptr, kOptNoPreserve},
                                        {"timings", no_argument, nullptr, kOptTimings},
                                        {"help", no_argument, nullptr, 'h'},
                                        {"version", no_argument, nullptr, 'V'},
                                        {nullptr, 0, nullptr, 0}};
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":d:yhV", kLongOptions, nullptr)) != -1;) {
    switch (c) {
      case 'd':
        dir = optarg;
        break;
      case 'y':
        yes = true;
        break;
      case kOptNoPreserve:
        preserve = false;
        break;
      case kOptTimings:
        timings = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return kExitRestored;
      case 'V':
        std::printf("tessarin %s\n", TESSARIN_VERSION);
        return kExitRestored;
      case ':':
        return Usage((std::string("option '") + argv[optind - 1] + "' needs an argument").c_str());
      default:
        return Usage((std::string("unknown option '") + argv[optind - 1] + "'").c_str());
    }
  }
  if (optind >= argc) return Usage("no TARGET given (a card's block device or a card image file)");
  if (optind + 1 < argc) return Usage("more than one TARGET given");

  std::string error;
  const auto target = ResolveCardTarget(argv[optind], error);
  if (!target) {
    std::fprintf(stderr, "tessarin: %s\n", error.c_str());
    return kExitUsage;
  }
  if (!dir.empty() && chdir(dir.c_str()) != 0) {
    std::fprintf(stderr, "tessarin: %s: %s\n", dir.c_str(), std::strerror(errno));
    return kExitUsage;
  }
  const bool terminal = isatty(STDIN_FILENO) != 0;
  if (!terminal && !yes) {
    std::fputs("tessarin: no terminal to confirm the restore on; give --yes to restore without asking\n", stderr);
    return kExitUsage;
  }
  const SystemKind kind =
      DetectSystemKind([](const std::string& name) { return WorkingDirectoryEntry(name).has_value(); }, TableString)
          .value_or(SystemKind::WinCE);
  const std::string drive = MakeDriveEntry(kCardLetter);

  TerminalOptions termOptions;
  termOptions.drive = drive;
  termOptions.preserveProject = preserve;
  termOptions.assumeYes = yes;
  termOptions.showProgress = isatty(STDERR_FILENO) != 0;
  termOptions.answers = terminal ? stdin : nullptr;
  termOptions.onRestoreStarted = GuardAgainstInterrupts;
  TerminalOperator ui(termOptions);
  auto diagnostic = [&ui](const std::string& text) { ui.Diagnostic(text); };

  try {
    const CardFat volume(*target, kCardLetter);
    LinuxSystem system;
    BuiltInResources resources;
    FileProfile profile;
    OperationLog cardLog(ui, system, resources);
    LinuxCard card(
        *target, cardLog, [&] { return WhyCardIsInUse(*target); }, diagnostic);
    CardFormat format(*target, ui, diagnostic);
    ArchiveInstaller installer(volume, ui, diagnostic);
    CardFiles files(
        volume, diagnostic, [&cardLog](const std::string& text) { cardLog.LogNoScroll(std::string(kWarning) + text); },
        ui);

    RestoreContext ctx(Ports{ui, system, resources, card, format, installer, files, profile});
    ctx.SetSystemKind(kind);
    g_nSystemKind = ctx.GetSystemKind();

    char cwd[4096];
    std::fprintf(stderr,
                 "tessarin: drive %c: is %s, partition 1 (sectors %u to %llu, %s)\n"
                 "tessarin: system %s from %s/%s\n",
                 kCardLetter, target->path.c_str(), target->partitionStart,
                 static_cast<unsigned long long>(target->partitionStart) + target->partitionSectors - 1,
                 Megabytes(std::uint64_t{target->partitionSectors} * 512).c_str(), SystemKindFacts(kind).name,
                 getcwd(cwd, sizeof cwd) ? cwd : ".", InstallerCommandFor(kind, kCardLetter, '/').archive.c_str());
    std::fflush(stderr);

    const auto started = std::chrono::steady_clock::now();
    const RestoreResult result = RestoreWorker(ctx);
    if (target->blockDevice) {
      // Everything on the card before the operator pulls it.
      const int fd = open(target->path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        fsync(fd);
        close(fd);
      }
      FlushPartitionCaches(*target);
    }
    if (timings) {
      const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      // What proving the card cost: the boot records read back, and the
      // steps that read the files back.
      double proofs = std::chrono::duration<double>(card.ReadBackTime()).count();
      for (const auto& [step, seconds] : ui.StepTimes()) {
        std::fprintf(stderr, "tessarin: timings: %s: %.3f s\n", step.c_str(), seconds);
        if (step.rfind(kVerifyingStep, 0) == 0) proofs += seconds;
      }
      std::fprintf(stderr, "tessarin: timings: total %.3f s, prescribed pauses %.3f s, reading back %.3f s\n", total,
                   std::chrono::duration<double>(system.paused()).count(), proofs);
    }
    switch (result) {
      case RestoreResult::Completed:
        return kExitRestored;
      case RestoreResult::ProjectNotRestored:
        return kExitProjectNotRestored;
      case RestoreResult::Declined:
        return kExitDeclined;
      default:
        return kExitFailed;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tessarin: %s\n", e.what());
    return kExitUsage;
  }
}
