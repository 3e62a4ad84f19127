#include "lx/app/options.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "lx/install/card_files.h"
#include "lx/support/run_events.h"

namespace tessarin::linux_port {
namespace {

const char kUsage[] =
    "Usage: tessarin [OPTION]... [--] TARGET...\n"
    "       tessarin --list [--all] [--json]\n"
    "Restore the panel's system onto the card TARGET: a whole card as a block\n"
    "device (/dev/sdX, /dev/mmcblkN) or a whole-card image file whose MBR\n"
    "describes a first FAT partition. Everything on that partition is deleted;\n"
    "its Project folder is saved first and put back at the end.\n"
    "\n"
    "The system kind follows the installer archive found in the working\n"
    "directory (romdossys.exe, dossys.exe, wincesys.exe, probed in this order;\n"
    "Windows CE when none is there); CFDef.ini is read from there too, else\n"
    "the sample installed with the program.\n"
    "The card is called drive e: in the log and the messages.\n"
    "\n"
    "Before asking, tessarin holds the card against other programs and checks\n"
    "everything it can without changing it: the card (not in use, writable, an\n"
    "MBR with a FAT partition first), the installer archive (whole, every entry\n"
    "fit for a FAT card, room enough), the card's size and geometry, and that\n"
    "the card's files can be read so that its Project folder can be saved.\n"
    "A card mounted, used by a mapped device or held by another program is\n"
    "refused, its holders named (mount points, PID and command); a disk the\n"
    "running system stands on (root, boot, swap, a system folder) never is a\n"
    "TARGET.\n"
    "\n"
    "Several TARGETs are restored at once, each by a process of its own with\n"
    "its own hold of the card, temporary folder and checks: one question,\n"
    "once every card is checked, for the cards that passed; each log line\n"
    "prefixed with its target; a table of the results at the end. A card\n"
    "refused by its checks or failing later does not stop the others.\n"
    "\n"
    "Options:\n"
    "  -d, --dir=DIR      working directory: the installer archive and CFDef.ini\n"
    "                     (default: the current directory)\n"
    "  -y, --yes          answer the confirmation Yes (scripts, production lines);\n"
    "                     without a terminal the restore needs it\n"
    "      --no-preserve  do not save and restore the card's Project folder; also\n"
    "                     restores a card whose files cannot be read, losing them\n"
    "      --save-dir=DIR where the Project folder is saved while the card is\n"
    "                     restored (a private folder QV<n> in it; default: $TMPDIR\n"
    "                     when set, else /var/tmp, which survives a reboot)\n"
    "      --put-back=DIR put the Project folder saved in DIR (a QV<n> folder a\n"
    "                     message named) onto the card, instead of the card's own\n"
    "      --check        run every check the restore runs before its question on\n"
    "                     each TARGET, and stop there: one line per card, \"would\n"
    "                     be restored\" or the restore's refusal. Never asks, needs\n"
    "                     no terminal nor --yes, writes nothing: not the card, no\n"
    "                     saved copy, no record (so not with --log, nor --json)\n"
    "      --sha256=HEX   the installer archive's expected SHA-256 (64 hex digits,\n"
    "                     either case); an archive with another digest is refused\n"
    "                     before the question, the card unchanged\n"
    "      --json         write one JSON object per line on standard output\n"
    "                     instead of the log: each step's start and end, the\n"
    "                     progress, the messages and the result with the card's\n"
    "                     identity and the saved folder; with several TARGETs a\n"
    "                     last \"summary\" object\n"
    "      --log=FILE     append every run's log lines to FILE, the service\n"
    "                     record: the card's identity, the installer archive's\n"
    "                     name, size and SHA-256, the program's version, the result\n"
    "      --timings      report on standard error how long the restore took, each\n"
    "                     long step (the proofs that read the card back among\n"
    "                     them), the pauses the sequence prescribes, the wait for\n"
    "                     the card after formatting, and what reading the card\n"
    "                     back cost in all\n"
    "  -q, --quiet        on standard error only the failures and the result: no\n"
    "                     progress line, no announcement of the card and the\n"
    "                     system; the log on standard output stays whole\n"
    "  -l, --list         list the block devices that could be a card: device,\n"
    "                     size, bus, vendor/model, media present, write-protected,\n"
    "                     in use (and by what), the first partition's type and\n"
    "                     label; never the running system's disks, optical or\n"
    "                     network devices\n"
    "      --all          with --list: other fixed disks and loop devices too\n"
    "  -h, --help         show this help and exit\n"
    "  -V, --version      show the version and exit\n"
    "\n"
    "The log goes to standard output, one line per step, as the Windows\n"
    "program lists it; messages go to standard error. On a terminal, standard\n"
    "error shows one progress line per card: the step, a bar, the bytes done\n"
    "and the time left of installing, copying the Project folder and reading\n"
    "both back from the card. A dumb terminal (TERM=dumb or unset), a file or\n"
    "a pipe gets no progress line and no escape sequence.\n"
    "\n"
    "SIGUSR1 (kill -USR1 PID) asks for the progress, as of dd: each card's\n"
    "restore writes one line \"tessarin: progress: \" on standard error with its\n"
    "step and the bytes done of how many, and goes on; it never stops it.\n"
    "\n"
    "The Project folder is saved, and flushed to the disk, before the card is\n"
    "changed; the card then carries a mark of that copy (a new disk signature in\n"
    "its MBR). Should the restore stop anywhere after that (a crash, a power\n"
    "cut, a card pulled), the next restore of the same card puts that copy\n"
    "back. A card without the mark, such as a clone of the card, never gets it\n"
    "by itself: the messages name the copy and the --put-back command.\n"
    "\n"
    "Exit status (several TARGETs: the worst of the cards', in this order):\n"
    "  0    the system was restored, and the Project folder put back; the card\n"
    "       gave back all of it as written. With --check: every card would be\n"
    "       restored\n"
    "  3    the confirmation was answered No; nothing was changed\n"
    "  2    nothing was changed: wrong usage, no terminal to confirm on without\n"
    "       --yes, or a check before the question refused the card or the archive\n"
    "  4    the system was restored, but the Project folder could not be put back;\n"
    "       it waits in the temporary folder the last log line names\n"
    "  1    the restore stopped at a failed step (the messages say which; a\n"
    "       saved Project folder is named by the last log line)\n"
    "  130  stopped by an interrupt before the question was answered (nothing\n"
    "       was changed), or by a second one (or one SIGTERM) at a step's\n"
    "       boundary; the messages say whether the card was changed and where\n"
    "       the Project folder is saved\n"
    "\n"
    "Report bugs to: <" TESSARIN_BUG_ADDRESS
    ">\n"
    "Tessarin home page: <" TESSARIN_HOME_PAGE ">\n";

const char kVersion[] = "tessarin " TESSARIN_VERSION
                        "\n"
                        "Copyright (C) 2026 The Tessarin developers.\n"
                        "License MIT: <https://opensource.org/license/mit>.\n"
                        "This is free software: you are free to change and redistribute it.\n"
                        "There is NO WARRANTY, to the extent permitted by law.\n";

enum {
  kOptNoPreserve = 256,
  kOptTimings,
  kOptAll,
  kOptJson,
  kOptLog,
  kOptReportFd,
  kOptAnswerFd,
  kOptSaveDir,
  kOptPutBack,
  kOptCheck,
  kOptSha256
};

const option kLongOptions[] = {{"dir", required_argument, nullptr, 'd'},
                               {"yes", no_argument, nullptr, 'y'},
                               {"no-preserve", no_argument, nullptr, kOptNoPreserve},
                               {"save-dir", required_argument, nullptr, kOptSaveDir},
                               {"put-back", required_argument, nullptr, kOptPutBack},
                               {"timings", no_argument, nullptr, kOptTimings},
                               {"check", no_argument, nullptr, kOptCheck},
                               {"sha256", required_argument, nullptr, kOptSha256},
                               {"quiet", no_argument, nullptr, 'q'},
                               {"list", no_argument, nullptr, 'l'},
                               {"all", no_argument, nullptr, kOptAll},
                               {"json", no_argument, nullptr, kOptJson},
                               {"log", required_argument, nullptr, kOptLog},
                               {"report-fd", required_argument, nullptr, kOptReportFd},
                               {"answer-fd", required_argument, nullptr, kOptAnswerFd},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, 'V'},
                               {nullptr, 0, nullptr, 0}};

// TMPDIR as an absolute path, so that the working directory's change does
// not move it; false when the current directory cannot be named.
bool MakeTempDirAbsolute() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0' || *dir == '/') return true;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return false;
  return setenv("TMPDIR", (std::string(cwd) + "/" + dir).c_str(), 1) == 0;
}

// A path given on the command line, made absolute before --dir changes the
// working directory; false when the current directory cannot be named.
bool MakeAbsolute(std::string& path) {
  if (path.empty() || path[0] == '/') return true;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return false;
  path = std::string(cwd) + "/" + path;
  return true;
}

// A descriptor the program that restores several cards opened for this
// one; closed at any program this one starts.
int InheritedDescriptor(const char* text) {
  const int fd = std::atoi(text);
  return fd < 3 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ? -1 : fd;
}

// The digest as 64 lower-case hexadecimal digits; none when the text is
// not 64 hexadecimal digits.
std::optional<std::string> ReadDigest(const std::string& text) {
  if (text.size() != 64) return std::nullopt;
  std::string digest;
  for (const char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return std::nullopt;
    digest += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return digest;
}

// One option into the value; the exit status when it ends the command.
std::optional<int> ReadOption(int c, char** argv, Options& o) {
  switch (c) {
    case 'd':
      o.dir = optarg;
      if (o.dir.empty()) return Usage("--dir needs a folder; an empty name names none");
      return std::nullopt;
    case 'y':
      o.yes = true;
      return std::nullopt;
    case kOptNoPreserve:
      o.preserve = false;
      return std::nullopt;
    case kOptTimings:
      o.timings = true;
      return std::nullopt;
    case kOptCheck:
      o.check = true;
      return std::nullopt;
    case kOptSha256:
      if (const auto digest = ReadDigest(optarg)) {
        o.sha256 = *digest;
        return std::nullopt;
      }
      return Usage("--sha256 needs the archive's SHA-256 as 64 hexadecimal digits");
    case 'q':
      o.quiet = true;
      return std::nullopt;
    case kOptSaveDir:
      if (*optarg == '\0') return Usage("--save-dir needs a folder");
      o.saveDir = optarg;
      return std::nullopt;
    case kOptPutBack:
      if (*optarg == '\0') return Usage("--put-back needs the folder of a saved Project folder");
      o.putBack = optarg;
      return std::nullopt;
    case 'l':
      o.list = true;
      return std::nullopt;
    case kOptAll:
      o.listOptions.all = true;
      return std::nullopt;
    case kOptJson:
      o.json = true;
      return std::nullopt;
    case kOptLog:
      if (*optarg == '\0') return Usage("--log needs a file name");
      o.logFile = optarg;
      return std::nullopt;
    case kOptReportFd:
      if ((o.reportFd = InheritedDescriptor(optarg)) < 0) return Usage("--report-fd needs an open descriptor");
      return std::nullopt;
    case kOptAnswerFd:
      if ((o.answerFd = InheritedDescriptor(optarg)) < 0) return Usage("--answer-fd needs an open descriptor");
      return std::nullopt;
    case 'h':
      std::fputs(kUsage, stdout);
      return kExitRestored;
    case 'V':
      std::fputs(kVersion, stdout);
      return kExitRestored;
    case ':':
      return Usage(std::string("option '") + argv[optind - 1] + "' needs an argument");
    default:
      return Usage(std::string("unknown option '") + argv[optind - 1] + "'");
  }
}

// The options that only go together, and the folders made absolute.
std::optional<int> CheckRestoreOptions(Options& o) {
  if (o.listOptions.all) return Usage("--all goes with --list");
  if (o.check && !o.logFile.empty()) return Usage("--check records nothing; --log goes with a restore");
  if (o.check && o.json) return Usage("--check says its verdicts in lines of text; --json goes with a restore");
  if (o.targets.empty()) return Usage("no TARGET given (a card's block device or a card image file)");
  if (!MakeTempDirAbsolute() || !MakeAbsolute(o.saveDir) || !MakeAbsolute(o.putBack)) {
    std::fprintf(stderr, "tessarin: the current directory cannot be named: %s\n", std::strerror(errno));
    return kExitUsage;
  }
  if (!o.putBack.empty() && !o.preserve) return Usage("--put-back puts a Project folder back; --no-preserve does not");
  if (!o.putBack.empty()) {
    // The copy is one of the folder it lies in.
    while (o.putBack.size() > 1 && o.putBack.back() == '/') o.putBack.pop_back();
    const std::string parent = o.putBack.substr(0, o.putBack.rfind('/') + 1);
    if (o.saveDir.empty()) o.saveDir = parent;
    if (std::filesystem::path(o.saveDir).lexically_normal() != std::filesystem::path(parent).lexically_normal())
      return Usage("--put-back names a folder outside --save-dir");
  }
  if (o.saveDir.empty()) o.saveDir = DefaultSaveFolder();
  if (o.targets.size() > 1 && !o.putBack.empty()) return Usage("--put-back goes with one TARGET");
  return std::nullopt;
}

}  // namespace

int Usage(const std::string& problem) {
  std::fprintf(stderr, "tessarin: %s\nTry 'tessarin --help' for more information.\n", problem.c_str());
  return kExitUsage;
}

CommandLine ReadCommandLine(int argc, char** argv) {
  Options o;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":d:yqlhV", kLongOptions, nullptr)) != -1;) {
    if (const auto status = ReadOption(c, argv, o)) return {std::nullopt, *status};
  }
  o.targets.assign(argv + optind, argv + argc);
  if (o.list) {
    if (!o.targets.empty()) return {std::nullopt, Usage("--list takes no TARGET")};
    if (!o.logFile.empty()) return {std::nullopt, Usage("--log goes with a restore, not with --list")};
    if (o.check || !o.sha256.empty())
      return {std::nullopt, Usage("--check and --sha256 go with a restore, not with --list")};
    return {o, 0};
  }
  if (const auto status = CheckRestoreOptions(o)) return {std::nullopt, *status};
  return {o, 0};
}

std::vector<std::string> Options::SharedArguments() const {
  std::vector<std::string> shared;
  if (!dir.empty()) shared.push_back("--dir=" + dir);
  shared.push_back("--save-dir=" + saveDir);
  if (!preserve) shared.push_back("--no-preserve");
  if (timings) shared.push_back("--timings");
  if (check) shared.push_back("--check");
  if (!sha256.empty()) shared.push_back("--sha256=" + sha256);
  if (quiet) shared.push_back("--quiet");
  if (json) shared.push_back("--json");
  if (!logFile.empty()) shared.push_back("--log=" + logFile);
  return shared;
}

}  // namespace tessarin::linux_port
