// tessarin: restores the panel's system onto a card given as a block device
// or a whole-card image file, with the restore sequence of the Windows
// program, from the command line.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "boot/card_definitions.h"
#include "card/card_types.h"
#include "card/system_kinds.h"
#include "install/firmware.h"
#include "install/project_folder.h"
#include "linux/archive_installer.h"
#include "linux/card_fat.h"
#include "linux/card_files.h"
#include "linux/card_format.h"
#include "linux/card_hold.h"
#include "linux/card_list.h"
#include "linux/card_target.h"
#include "linux/linux_card.h"
#include "linux/parallel_restore.h"
#include "linux/platform_ports.h"
#include "linux/preflight.h"
#include "linux/process.h"
#include "linux/run_reports.h"
#include "linux/step_progress.h"
#include "linux/terminal_operator.h"
#include "linux/terminal_text.h"
#include "res/string_ids.h"
#include "res/string_table.h"
#include "restore/restore_sequence.h"

namespace {

using namespace tessarin;
using namespace tessarin::linux_port;

// The drive letter the card goes by in the restore's texts and card paths.
constexpr char kCardLetter = 'e';

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
    "Windows CE when none is there); CFDef.ini is read from there too.\n"
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
    "both back from the card.\n"
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
    "       gave back all of it as written\n"
    "  3    the confirmation was answered No; nothing was changed\n"
    "  2    nothing was changed: wrong usage, no terminal to confirm on without\n"
    "       --yes, or a check before the question refused the card or the archive\n"
    "  4    the system was restored, but the Project folder could not be put back;\n"
    "       it waits in the temporary folder the last log line names\n"
    "  1    the restore stopped at a failed step (the messages say which; a\n"
    "       saved Project folder is named by the last log line)\n"
    "  130  stopped by a second interrupt at a step's boundary; the messages say\n"
    "       whether the card was changed and where the Project folder is saved\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "tessarin: %s\nTry 'tessarin --help' for more information.\n", problem);
  return kExitUsage;
}

std::string Megabytes(std::uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

// Stopping halfway can leave the card unusable, and a copy of the
// project folder half made: the first interrupt only warns, a second one
// stops the restore at the next step's boundary (the tool or copy running
// finishes first), where the saved project folder is named.
std::atomic<int> g_interrupts{0};
std::atomic<bool> g_stopRequested{false};

extern "C" void OnInterrupt(int) {
  if (g_interrupts.fetch_add(1) == 0) {
    static const char kWarning[] =
        "\ntessarin: stopping now can leave the card unusable; the restore goes on. "
        "Interrupt again to stop after the current step.\n";
    (void)!write(STDERR_FILENO, kWarning, sizeof kWarning - 1);
    return;
  }
  g_stopRequested = true;
  static const char kStopping[] =
      "\ntessarin: stopping once the current step is done (a copy in progress is finished first).\n";
  (void)!write(STDERR_FILENO, kStopping, sizeof kStopping - 1);
}

void GuardAgainstInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &action, nullptr);
}

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

// Several cards: each restored by a process of its own. They are asked
// about once, together, before any of them starts.
int RestoreSeveralCommand(const std::vector<std::string>& targets, const std::vector<std::string>& shared, bool yes,
                          bool json, bool timings) {
  // The same card twice would be two restores fighting over it.
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (const std::string& t : targets) {
    struct stat st {};
    if (stat(t.c_str(), &st) != 0) continue;  // its own restore says why
    const std::pair<dev_t, ino_t> id =
        S_ISBLK(st.st_mode) ? std::pair<dev_t, ino_t>{st.st_rdev, 0} : std::pair<dev_t, ino_t>{st.st_dev, st.st_ino};
    if (std::find(seen.begin(), seen.end(), id) != seen.end())
      return Usage(("the card " + EscapeForTerminal(t) + " is given more than once").c_str());
    seen.push_back(id);
  }
  if (!yes && isatty(STDIN_FILENO) == 0) {
    std::fputs("tessarin: no terminal to confirm the restore on; give --yes to restore without asking\n", stderr);
    return kExitUsage;
  }
  ParallelOptions options;
  if (!yes) {
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
  options.arguments = shared;
  options.json = json;
  options.timings = timings;
  options.board = !json && isatty(STDERR_FILENO) != 0;
  int worst = kExitRestored;
  for (const CardResult& r : RestoreSeveral(targets, options)) worst = WorseStatus(worst, r.status);
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  // With a standard descriptor closed, the first file opened would take
  // its number: the card would receive the log.
  if (!ReopenClosedStandardDescriptors()) return kExitUsage;
  // A reader of the log that goes away (tessarin ... | head) must not stop
  // the restore halfway: the writes to it fail, the restore goes on, and
  // the messages and the exit status still tell how it ended.
  signal(SIGPIPE, SIG_IGN);
  std::setlocale(LC_TIME, "");
  std::setlocale(LC_MESSAGES, "");
  // File names are UTF-8 throughout: in the archive's entries (libarchive
  // converts them to this locale's character set) and in the saved copy.
  std::setlocale(LC_CTYPE, "C.UTF-8");
  // Every file of a project folder has its time stamp converted; without
  // TZ, the C library looks at /etc/localtime again for each one. The same
  // zone, named once.
  setenv("TZ", ":/etc/localtime", 0);

  std::string dir;
  bool yes = false, preserve = true, timings = false;
  bool list = false, json = false;
  CardListOptions listOptions;
  std::string logFile;
  int reportFd = -1;
  int answerFd = -1;
  std::string saveDir, putBack;
  enum {
    kOptNoPreserve = 256,
    kOptTimings,
    kOptAll,
    kOptJson,
    kOptLog,
    kOptReportFd,
    kOptAnswerFd,
    kOptSaveDir,
    kOptPutBack
  };
  static const option kLongOptions[] = {{"dir", required_argument, nullptr, 'd'},
                                        {"yes", no_argument, nullptr, 'y'},
                                        {"no-preserve", no_argument, nullptr, kOptNoPreserve},
                                        {"save-dir", required_argument, nullptr, kOptSaveDir},
                                        {"put-back", required_argument, nullptr, kOptPutBack},
                                        {"timings", no_argument, nullptr, kOptTimings},
                                        {"list", no_argument, nullptr, 'l'},
                                        {"all", no_argument, nullptr, kOptAll},
                                        {"json", no_argument, nullptr, kOptJson},
                                        {"log", required_argument, nullptr, kOptLog},
                                        {"report-fd", required_argument, nullptr, kOptReportFd},
                                        {"answer-fd", required_argument, nullptr, kOptAnswerFd},
                                        {"help", no_argument, nullptr, 'h'},
                                        {"version", no_argument, nullptr, 'V'},
                                        {nullptr, 0, nullptr, 0}};
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":d:ylhV", kLongOptions, nullptr)) != -1;) {
    switch (c) {
      case 'd':
        dir = optarg;
        if (dir.empty()) return Usage("--dir needs a folder; an empty name names none");
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
      case kOptSaveDir:
        if (*optarg == '\0') return Usage("--save-dir needs a folder");
        saveDir = optarg;
        break;
      case kOptPutBack:
        if (*optarg == '\0') return Usage("--put-back needs the folder of a saved Project folder");
        putBack = optarg;
        break;
      case 'l':
        list = true;
        break;
      case kOptAll:
        listOptions.all = true;
        break;
      case kOptJson:
        json = true;
        break;
      case kOptLog:
        if (*optarg == '\0') return Usage("--log needs a file name");
        logFile = optarg;
        break;
      case kOptReportFd:
        // The channel of the program that restores several cards at once.
        reportFd = std::atoi(optarg);
        if (reportFd < 3 || fcntl(reportFd, F_SETFD, FD_CLOEXEC) != 0)
          return Usage("--report-fd needs an open descriptor");
        break;
      case kOptAnswerFd:
        // Where that program sends the operator's answer, asked once for
        // every card.
        answerFd = std::atoi(optarg);
        if (answerFd < 3 || fcntl(answerFd, F_SETFD, FD_CLOEXEC) != 0)
          return Usage("--answer-fd needs an open descriptor");
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
  if (list) {
    if (optind < argc) return Usage("--list takes no TARGET");
    if (!logFile.empty()) return Usage("--log goes with a restore, not with --list");
    return ListCardsCommand(listOptions, json);
  }
  if (listOptions.all) return Usage("--all goes with --list");
  if (optind >= argc) return Usage("no TARGET given (a card's block device or a card image file)");
  if (!MakeTempDirAbsolute() || !MakeAbsolute(saveDir) || !MakeAbsolute(putBack)) {
    std::fprintf(stderr, "tessarin: the current directory cannot be named: %s\n", std::strerror(errno));
    return kExitUsage;
  }
  if (!putBack.empty() && !preserve) return Usage("--put-back puts a Project folder back; --no-preserve does not");
  if (!putBack.empty()) {
    // The copy is one of the folder it lies in.
    while (putBack.size() > 1 && putBack.back() == '/') putBack.pop_back();
    const std::string parent = putBack.substr(0, putBack.rfind('/') + 1);
    if (saveDir.empty()) saveDir = parent;
    if (std::filesystem::path(saveDir).lexically_normal() != std::filesystem::path(parent).lexically_normal())
      return Usage("--put-back names a folder outside --save-dir");
  }
  if (saveDir.empty()) saveDir = DefaultSaveFolder();
  if (optind + 1 < argc) {
    if (!putBack.empty()) return Usage("--put-back goes with one TARGET");
    std::vector<std::string> shared;
    if (!dir.empty()) shared.push_back("--dir=" + dir);
    shared.push_back("--save-dir=" + saveDir);
    if (!preserve) shared.push_back("--no-preserve");
    if (timings) shared.push_back("--timings");
    if (json) shared.push_back("--json");
    if (!logFile.empty()) shared.push_back("--log=" + logFile);
    return RestoreSeveralCommand(std::vector<std::string>(argv + optind, argv + argc), shared, yes, json, timings);
  }

  RunReporting reports;
  {
    RunReporting::Options reportOptions;
    reportOptions.json = json;
    reportOptions.logFile = logFile;
    reportOptions.reportFd = reportFd;
    reportOptions.savedProject = [] { return SavedProjectCopy('/'); };
    reportOptions.version = TESSARIN_VERSION;
    std::string why;
    if (!reports.Open(reportOptions, why)) {
      std::fprintf(stderr, "tessarin: %s\n", EscapeForTerminal(why).c_str());
      return kExitUsage;
    }
  }
  const std::string given = argv[optind];
  // Every refusal before the question: the card as it was, status 2, and
  // every report told why.
  auto refuse = [&](const std::string& why) { return reports.Refuse(given, why); };
  if (preserve) {
    struct stat st {};
    const bool there = stat(saveDir.c_str(), &st) == 0;
    if (!there || !S_ISDIR(st.st_mode))
      return refuse("the folder for saved Project folders, " + EscapeForTerminal(saveDir) + ", " +
                    (there ? std::string("is not a folder") : std::string(std::strerror(errno))) +
                    "; give another with --save-dir");
  }

  std::string error;
  const auto target = ResolveCardTarget(given, error);
  if (!target) return refuse(error);
  if (!dir.empty() && chdir(dir.c_str()) != 0) return refuse(dir + ": " + std::strerror(errno));
  const bool terminal = isatty(STDIN_FILENO) != 0;
  std::FILE* parentAnswers = answerFd >= 0 && reportFd >= 0 ? fdopen(answerFd, "r") : nullptr;
  if (!terminal && !yes && parentAnswers == nullptr)
    return refuse("no terminal to confirm the restore on; give --yes to restore without asking");
  const SystemKind kind =
      DetectSystemKind([](const std::string& name) { return WorkingDirectoryEntry(name).has_value(); }, TableString)
          .value_or(SystemKind::WinCE);
  const std::string drive = MakeDriveEntry(kCardLetter);
  char cwd[PATH_MAX];
  const std::string workDir = getcwd(cwd, sizeof cwd) ? cwd : ".";
  // Found as the installer step finds it, in any case: "WINCESYS.EXE" is
  // wincesys.exe.
  const std::string archiveName = InstallerCommandFor(kind, kCardLetter, '/').archive;
  const std::string archive = workDir + "/" + WorkingDirectoryEntry(archiveName).value_or(archiveName);

  // A second interrupt stops the restore at the next step's boundary.
  std::function<void()> stopNow;
  TerminalOptions termOptions;
  termOptions.drive = drive;
  termOptions.preserveProject = preserve;
  termOptions.assumeYes = yes;
  termOptions.showProgress = isatty(STDERR_FILENO) != 0 && !json;
  termOptions.logOnStdout = !json;
  termOptions.listeners = reports.Listeners();
  termOptions.answers = parentAnswers != nullptr ? parentAnswers : terminal ? stdin : nullptr;
  if (parentAnswers != nullptr) termOptions.askElsewhere = [&reports](const std::string& q) { reports.AskParent(q); };
  termOptions.onRestoreStarted = GuardAgainstInterrupts;
  termOptions.afterLogLine = [&stopNow] {
    if (g_stopRequested && stopNow) std::exchange(stopNow, nullptr)();
  };
  TerminalOperator ui(termOptions);
  auto diagnostic = [&ui](const std::string& text) { ui.Diagnostic(text); };
  LinuxSystem system;
  BuiltInResources resources;
  FileProfile profile(diagnostic);
  OperationLog cardLog(ui, system, resources);
  std::unique_ptr<CardHold> hold;

  // Where the operator's project folder is, when the restore ends before
  // putting it back: the last log line says it.
  auto nameSavedProject = [&]() -> std::string {
    std::string saved = SavedProjectCopy('/');
    if (!saved.empty()) cardLog.Log(std::string(kWarning) + "The Project Folder is saved in " + saved);
    return saved;
  };

  // Whatever failed, the operator learns whether the card was touched and
  // where the project folder is.
  auto failedUnexpectedly = [&](const std::string& what) {
    const bool changed = hold && hold->changed();
    ui.Diagnostic(what + (changed ? "; the restore stopped after the card was changed" : "; nothing was changed"));
    stopNow = nullptr;
    const std::string saved = nameSavedProject();
    if (!saved.empty()) ui.Diagnostic("the Project folder is saved in " + saved);
    if (!changed && !reports.Started()) return reports.Refuse(given, what, /*shown=*/true);
    const int status = changed ? kExitFailed : kExitUsage;
    reports.Finish(status);
    return status;
  };

  try {
    // The running system's disks are refused as the target is resolved.
    // The hold names another restore of this card; then what else holds
    // the card (mounts, mapped devices, writers) is named.
    if (const std::string why = WhyCardIsReadOnly(*target); !why.empty()) return refuse(why);
    hold = CardHold::Take(*target, error);
    if (!hold) return refuse(error);
    if (const std::string why = WhyCardIsInUse(*target); !why.empty()) return refuse(why);

    const CardFat volume(*target, kCardLetter, hold.get());
    LinuxCard card(
        *target, *hold, cardLog, [&] { return WhyCardIsInUse(*target); }, diagnostic);
    CardFormat format(*target, *hold, ui, diagnostic);
    ArchiveInstaller installer(volume, ui, diagnostic);
    CardFiles files(
        volume, diagnostic, [&cardLog](const std::string& text) { cardLog.LogNoScroll(std::string(kWarning) + text); },
        ui);
    files.SetSaveFolder(saveDir);

    RestoreContext ctx(Ports{ui, system, resources, card, format, installer, files, profile});
    ctx.SetSystemKind(kind);
    g_nSystemKind = ctx.GetSystemKind();
    ctx.m_strPutBackCopy = putBack;
    ctx.putBackCommand = [&given](const std::string& folder) {
      return "tessarin --put-back " + ShellQuoted(folder) + " " + ShellQuoted(given);
    };

    PreflightOptions check;
    check.target = &*target;
    check.fd = hold->fd();
    check.systemKind = kind;
    check.archive = archive;
    check.preserveProject = preserve;
    check.volume = &volume;
    check.definitionsFor = [&ctx](double capacity) -> std::string {
      CList<CF_DEFINITION> definitions;
      if (const int loaded = LoadCardDefinitions(ctx.CardDefinitions(), definitions); loaded != -1)
        return TableString(static_cast<unsigned>(loaded)) + "(" + TableString(IDS_CFDEF_FILE) + " in " +
               ctx.ports.files.CurrentDirectory() + ")";
      if (!FindCardDefinition(definitions, capacity)) {
        char text[160];
        std::snprintf(text, sizeof text, "no card definition in %s fits a card of %.0f bytes.",
                      TableString(IDS_CFDEF_FILE).c_str(), capacity);
        return text;
      }
      return {};
    };
    check.files = &files;
    check.saveFolder = saveDir;
    check.putBackCopy = putBack;
    check.given = given;
    std::string notice;
    if (const std::string why = RunPreflight(check, &notice); !why.empty()) return refuse(target->path + ": " + why);
    if (!notice.empty()) ui.Diagnostic(notice);
    if (preserve && OnVolatileFileSystem(saveDir))
      ui.Diagnostic("saved Project folders go to " + EscapeForTerminal(saveDir) +
                    ", a file system in memory: a copy there is lost when the computer stops. --save-dir names "
                    "another place");

    std::fprintf(stderr,
                 "tessarin: drive %c: is %s, partition 1 (sectors %u to %llu, %s)\n"
                 "tessarin: system %s from %s\n"
                 "tessarin: the Project folder is saved in %s while the card is restored\n",
                 kCardLetter, EscapeForTerminal(target->path).c_str(), target->partitionStart,
                 static_cast<unsigned long long>(target->partitionStart) + target->partitionSectors - 1,
                 Megabytes(std::uint64_t{target->partitionSectors} * 512).c_str(), SystemKindFacts(kind).name,
                 EscapeForTerminal(archive).c_str(),
                 preserve ? EscapeForTerminal(saveDir).c_str() : "(not saved: --no-preserve)");
    std::fflush(stderr);
    reports.Start(given, *target, SystemKindFacts(kind).name, InstallerCommandFor(kind, kCardLetter, '/').archive,
                  TESSARIN_VERSION);

    stopNow = [&] {
      // At a step's boundary: no tool runs, no copy is half made.
      if (!hold->changed() && !g_strSavedProjectFolder.empty() && g_strSavedProjectFolder != kNoTempFolder) {
        // The card still holds the original: the copy is not needed.
        std::error_code ec;
        std::filesystem::remove_all(g_strSavedProjectFolder, ec);
        g_strSavedProjectFolder.clear();
      }
      const std::string saved = nameSavedProject();
      hold->Sync();
      FlushPartitionCaches(*target);
      std::string text = hold->changed()
                             ? "stopped. The card was changed and may not start; restore it again to finish the job."
                             : "stopped. The card was not changed.";
      if (!saved.empty())
        text += " Its Project folder is saved in " + saved + "; the next restore of this card puts it back.";
      ui.Diagnostic(text);
      reports.Finish(kExitInterrupted);
      std::fflush(stdout);
      _exit(kExitInterrupted);
    };

    const auto started = std::chrono::steady_clock::now();
    const RestoreResult result = RestoreWorker(ctx);
    stopNow = nullptr;
    // Everything on the card before the operator pulls it.
    hold->Sync();
    FlushPartitionCaches(*target);
    if (timings) {
      const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      // What proving the card cost: the boot records read back, and the
      // steps that read the files back.
      double proofs = std::chrono::duration<double>(card.ReadBackTime()).count();
      for (const auto& [step, seconds] : ui.StepTimes()) {
        std::fprintf(stderr, "tessarin: timings: %s: %.3f s\n", step.c_str(), seconds);
      }
      std::fprintf(stderr,
                   "tessarin: timings: total %.3f s, prescribed pauses %.3f s, waiting for the card after formatting "
                   "%.3f s, reading back %.3f s\n",
                   total, std::chrono::duration<double>(system.paused()).count(), format.SettleSeconds(), proofs);
    }
    int status = kExitFailed;
    switch (result) {
      case RestoreResult::Completed:
        status = kExitRestored;
        break;
      case RestoreResult::ProjectNotRestored:
        status = kExitProjectNotRestored;
        if (const std::string saved = SavedProjectCopy('/'); !saved.empty() && !files.Exists(saved))
          ui.Diagnostic("the saved copy of the Project folder in " + EscapeForTerminal(saved) +
                        " is gone; the Project folder was not put back on the card");
        break;
      case RestoreResult::Declined:
      case RestoreResult::Refused:
        // Stopped before the card was changed, as the sequence has it; the
        // hold knows whether anything was written all the same.
        status = hold->changed() ? kExitFailed : result == RestoreResult::Declined ? kExitDeclined : kExitUsage;
        break;
      default:
        status = kExitFailed;
        break;
    }
    reports.Finish(status);
    return status;
  } catch (const std::exception& e) {
    return failedUnexpectedly(dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? "out of memory" : e.what());
  } catch (...) {
    return failedUnexpectedly("an unexpected failure");
  }
}
