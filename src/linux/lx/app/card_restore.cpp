#include "lx/app/card_restore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>
#include <vector>

#include "boot/card_definitions.h"
#include "card/card_types.h"
#include "install/firmware.h"
#include "install/project_folder.h"
#include "lx/app/interrupts.h"
#include "lx/app/platform_ports.h"
#include "lx/card/card_fat.h"
#include "lx/card/card_format.h"
#include "lx/card/linux_card.h"
#include "lx/card/target_resolve.h"
#include "lx/install/archive_installer.h"
#include "lx/install/card_files.h"
#include "lx/install/preflight.h"
#include "lx/support/sha256.h"
#include "lx/support/step_progress.h"
#include "lx/support/terminal_text.h"
#include "lx/terminal/progress_board.h"
#include "res/string_ids.h"
#include "res/string_table.h"

namespace tessarin::linux_port {
namespace {

std::string Megabytes(std::uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

}  // namespace

// The card's volume and the adapters of the ports over it, with the
// restore's state: made once the card is held.
struct CardRestore::Adapters {
  explicit Adapters(CardRestore& r)
      : volume(*r.target_, kCardLetter, r.hold_.get()),
        card(
            *r.target_, *r.hold_, *r.log_, [&r] { return WhyCardIsInUse(*r.target_); },
            [&r](const std::string& text) { r.ui_->Diagnostic(text); }),
        format(*r.target_, *r.hold_, *r.ui_, [&r](const std::string& text) { r.ui_->Diagnostic(text); }),
        installer(volume, *r.ui_, [&r](const std::string& text) { r.ui_->Diagnostic(text); }),
        files(
            volume, [&r](const std::string& text) { r.ui_->Diagnostic(text); },
            [&r](const std::string& text) { r.log_->LogNoScroll(std::string(kWarning) + text); }, *r.ui_),
        ctx(Ports{*r.ui_, r.system_, r.resources_, card, format, installer, files, *r.profile_}) {}

  const CardFat volume;
  LinuxCard card;
  CardFormat format;
  ArchiveInstaller installer;
  CardFiles files;
  RestoreContext ctx;
};

int ExitStatusFor(RestoreResult result, bool cardChanged) {
  switch (result) {
    case RestoreResult::Completed:
      return kExitRestored;
    case RestoreResult::ProjectNotRestored:
      return kExitProjectNotRestored;
    case RestoreResult::Declined:
    case RestoreResult::Refused:
      // Stopped before the card was changed, as the sequence has it; the
      // hold knows whether anything was written all the same.
      if (cardChanged) return kExitFailed;
      return result == RestoreResult::Declined ? kExitDeclined : kExitUsage;
    default:
      return kExitFailed;
  }
}

CardRestore::CardRestore(const Options& options) : options_(options), given_(options.targets.front()) {}

CardRestore::~CardRestore() { WatchProgressRequests({}); }

int CardRestore::Run() {
  if (const auto status = Start()) return *status;
  MakeOperator();
  try {
    if (const auto status = HoldTheCard()) return *status;
    adapters_ = std::make_unique<Adapters>(*this);
    if (const auto status = CheckBeforeTheQuestion()) return *status;
    if (options_.check) return WouldBeRestored();
    Announce();
    return RunSequence();
  } catch (const std::exception& e) {
    return FailedUnexpectedly(dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? "out of memory" : e.what());
  } catch (...) {
    return FailedUnexpectedly("an unexpected failure");
  }
}

// The reports, the target, the working directory and where the answer
// comes from: everything before the card is held.
std::optional<int> CardRestore::Start() {
  RunReporting::Options reportOptions;
  reportOptions.json = options_.json;
  reportOptions.logFile = options_.logFile;
  reportOptions.reportFd = options_.reportFd;
  reportOptions.savedProject = [] { return SavedProjectCopy('/'); };
  reportOptions.version = TESSARIN_VERSION;
  if (std::string why; !reports_.Open(reportOptions, why)) {
    if (StopRequested()) return StopBeforeTheCard();
    std::fprintf(stderr, "tessarin: %s\n", EscapeForTerminal(why).c_str());
    return kExitUsage;
  }
  if (options_.preserve) {
    struct stat st {};
    const bool there = stat(options_.saveDir.c_str(), &st) == 0;
    if (!there || !S_ISDIR(st.st_mode))
      return Refuse("the folder for saved Project folders, " + EscapeForTerminal(options_.saveDir) + ", " +
                    (there ? std::string("is not a folder") : std::string(std::strerror(errno))) +
                    "; give another with --save-dir");
  }
  std::string error;
  target_ = ResolveCardTarget(given_, error);
  if (!target_) return Refuse(error);
  if (!options_.dir.empty() && chdir(options_.dir.c_str()) != 0)
    return Refuse(options_.dir + ": " + std::strerror(errno));
  if (options_.answerFd >= 0 && options_.reportFd >= 0) parentAnswers_ = fdopen(options_.answerFd, "r");
  if (isatty(STDIN_FILENO) == 0 && !options_.yes && !options_.check && parentAnswers_ == nullptr)
    return Refuse("no terminal to confirm the restore on; give --yes to restore without asking");
  kind_ = DetectSystemKind([](const std::string& name) { return WorkingDirectoryEntry(name).has_value(); }, TableString)
              .value_or(SystemKind::WinCE);
  char cwd[PATH_MAX];
  const std::string workDir = getcwd(cwd, sizeof cwd) ? cwd : ".";
  // Found as the installer step finds it, in any case: "WINCESYS.EXE" is
  // wincesys.exe.
  const std::string archiveName = InstallerCommandFor(kind_, kCardLetter, '/').archive;
  archive_ = workDir + "/" + WorkingDirectoryEntry(archiveName).value_or(archiveName);
  return std::nullopt;
}

// The operator's side on the terminal, with the reports listening, and the
// ports that stand beside it.
void CardRestore::MakeOperator() {
  TerminalOptions o;
  o.drive = MakeDriveEntry(kCardLetter);
  o.preserveProject = options_.preserve;
  o.assumeYes = options_.yes;
  o.quiet = options_.quiet;
  o.showProgress = DrawsInPlace(STDERR_FILENO) && !options_.json && !options_.quiet;
  o.logOnStdout = !options_.json;
  o.listeners = reports_.Listeners();
  o.answers = parentAnswers_ != nullptr ? parentAnswers_ : isatty(STDIN_FILENO) != 0 ? stdin : nullptr;
  if (parentAnswers_ != nullptr) o.askElsewhere = [this](const std::string& q) { reports_.AskParent(q); };
  o.onRestoreStarted = [this] { OnRestoreStarted(); };
  o.afterLogLine = [this] {
    if (StopRequested() && std::exchange(stopAtBoundary_, false)) StopAtBoundary();
  };
  ui_ = std::make_unique<TerminalOperator>(std::move(o));
  WatchProgressRequests([this] { ui_->ReportProgress(); });
  profile_ = std::make_unique<FileProfile>([this](const std::string& text) { ui_->Diagnostic(text); });
  log_ = std::make_unique<OperationLog>(*ui_, system_, resources_);
}

// The running system's disks are refused as the target is resolved. The
// hold names another restore of this card; then what else holds the card
// (mounts, mapped devices, writers) is named.
std::optional<int> CardRestore::HoldTheCard() {
  if (const std::string why = WhyCardIsReadOnly(*target_); !why.empty()) return Refuse(why);
  std::string error;
  hold_ = CardHold::Take(*target_, error);
  if (!hold_) return Refuse(error);
  if (const std::string why = WhyCardIsInUse(*target_); !why.empty()) return Refuse(why);
  return std::nullopt;
}

// Everything that can be checked without changing the card, before the
// operator is asked.
std::optional<int> CardRestore::CheckBeforeTheQuestion() {
  RestoreContext& ctx = adapters_->ctx;
  adapters_->files.SetSaveFolder(options_.saveDir);
  ctx.SetSystemKind(kind_);
  g_nSystemKind = ctx.GetSystemKind();
  ctx.m_strPutBackCopy = options_.putBack;
  ctx.m_strFallbackDefinitions = InstalledCardDefinitions();
  ctx.putBackCommand = [this](const std::string& folder) {
    return "tessarin --put-back " + ShellQuoted(folder) + " " + ShellQuoted(given_);
  };
  PreflightOptions check;
  check.target = &*target_;
  check.fd = hold_->fd();
  check.systemKind = kind_;
  check.archive = archive_;
  check.preserveProject = options_.preserve;
  check.volume = &adapters_->volume;
  check.definitionsFor = [this](double capacity) { return WhyNoCardDefinition(capacity); };
  check.files = &adapters_->files;
  check.saveFolder = options_.saveDir;
  check.putBackCopy = options_.putBack;
  check.given = given_;
  if (const auto status = CheckArchiveDigest()) return *status;
  std::string notice;
  if (const std::string why = RunPreflight(check, &notice); !why.empty()) return Refuse(target_->path + ": " + why);
  if (StopRequested()) return StopBeforeTheCard();
  if (!notice.empty()) ui_->Diagnostic(notice);
  if (options_.preserve && OnVolatileFileSystem(options_.saveDir))
    ui_->Diagnostic("saved Project folders go to " + EscapeForTerminal(options_.saveDir) +
                    ", a file system in memory: a copy there is lost when the computer stops. --save-dir names "
                    "another place");
  return std::nullopt;
}

// The archive is the one the operator expects (--sha256): an archive
// copied wrong, or of another release, is refused before the question.
std::optional<int> CardRestore::CheckArchiveDigest() {
  if (options_.sha256.empty()) return std::nullopt;
  errno = 0;
  archiveSha256_ = FileSha256(archive_);
  if (!archiveSha256_)
    return Refuse(target_->path + ": the installer archive " + EscapeForTerminal(archive_) +
                  " cannot be read for its SHA-256: " + std::strerror(errno));
  if (*archiveSha256_ != options_.sha256)
    return Refuse(target_->path + ": the installer archive " + EscapeForTerminal(archive_) +
                  " is not the one expected: its SHA-256 is " + *archiveSha256_ + ", --sha256 gives " +
                  options_.sha256);
  return std::nullopt;
}

// --check: every check passed; the card is let go as it was found.
int CardRestore::WouldBeRestored() {
  std::fprintf(stderr, "tessarin: %s: would be restored (system %s from %s)\n", EscapeForTerminal(given_).c_str(),
               SystemKindFacts(kind_).name, EscapeForTerminal(archive_).c_str());
  std::fflush(stderr);
  reports_.Finish(kExitRestored);
  return kExitRestored;
}

// Why the card definitions fit no card of this capacity; empty when one
// does.
std::string CardRestore::WhyNoCardDefinition(double capacity) {
  RestoreContext& ctx = adapters_->ctx;
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
}

// The card definition file this restore reads, for the operator: the
// working directory's, else the one installed with the program.
std::string CardRestore::DefinitionsInUse() {
  const std::string file = CardDefinitionsFile(adapters_->ctx.CardDefinitions());
  if (file.empty())
    return "nowhere (no " + TableString(IDS_CFDEF_FILE) + " in " +
           EscapeForTerminal(adapters_->ctx.ports.files.CurrentDirectory()) + " or beside the program)";
  return EscapeForTerminal(file);
}

// Which card is drive e:, what goes onto it and where its project folder
// waits meanwhile; the reports learn the card's identity.
void CardRestore::Announce() {
  const CardTarget& t = *target_;
  if (!options_.quiet)
    std::fprintf(stderr,
                 "tessarin: drive %c: is %s, partition 1 (sectors %u to %llu, %s)\n"
                 "tessarin: system %s from %s\n"
                 "tessarin: the Project folder is saved in %s while the card is restored\n"
                 "tessarin: card definitions from %s\n",
                 kCardLetter, EscapeForTerminal(t.path).c_str(), t.partitionStart,
                 static_cast<unsigned long long>(t.partitionStart) + t.partitionSectors - 1,
                 Megabytes(std::uint64_t{t.partitionSectors} * 512).c_str(), SystemKindFacts(kind_).name,
                 EscapeForTerminal(archive_).c_str(),
                 options_.preserve ? EscapeForTerminal(options_.saveDir).c_str() : "(not saved: --no-preserve)",
                 DefinitionsInUse().c_str());
  std::fflush(stderr);
  reports_.Start(given_, t, SystemKindFacts(kind_).name, InstallerCommandFor(kind_, kCardLetter, '/').archive,
                 TESSARIN_VERSION, archiveSha256_);
}

int CardRestore::RunSequence() {
  const auto started = std::chrono::steady_clock::now();
  stopAtBoundary_ = true;
  const RestoreResult result = RestoreWorker(adapters_->ctx);
  stopAtBoundary_ = false;
  // An interrupt while the restore was starting ended the question.
  if (StopRequested() && !hold_->changed()) StopAtBoundary();
  // Everything on the card before the operator pulls it.
  hold_->Sync();
  FlushPartitionCaches(*target_);
  if (options_.timings) ReportTimings(started);
  if (result == RestoreResult::ProjectNotRestored) {
    if (const std::string saved = SavedProjectCopy('/'); !saved.empty() && !adapters_->files.Exists(saved))
      ui_->Diagnostic("the saved copy of the Project folder in " + EscapeForTerminal(saved) +
                      " is gone; the Project folder was not put back on the card");
  }
  const int status = ExitStatusFor(result, hold_->changed());
  reports_.Finish(status);
  return status;
}

void CardRestore::ReportTimings(std::chrono::steady_clock::time_point started) {
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // What proving the card cost: the steps that read the files back, and
  // the boot records read back after they were written, listed as a step
  // of their own so that the last line is the sum of the lines above it.
  std::vector<std::pair<std::string, double>> steps = ui_->StepTimes();
  if (const auto bootRecords = adapters_->card.ReadBackTime(); bootRecords.count() > 0)
    steps.emplace_back(std::string(kVerifyingStep) + " the boot records",
                       std::chrono::duration<double>(bootRecords).count());
  double proofs = 0;
  for (const auto& [step, seconds] : steps) {
    std::fprintf(stderr, "tessarin: timings: %s: %.3f s\n", step.c_str(), seconds);
    if (step.starts_with(kVerifyingStep)) proofs += seconds;
  }
  std::fprintf(stderr,
               "tessarin: timings: total %.3f s, prescribed pauses %.3f s, waiting for the card after formatting "
               "%.3f s, reading back %.3f s\n",
               total, std::chrono::duration<double>(system_.paused()).count(), adapters_->format.SettleSeconds(),
               proofs);
}

// Every refusal before the question: the card as it was, status 2, and
// every report told why; an interrupt meanwhile makes it a stop.
int CardRestore::Refuse(const std::string& why) {
  if (StopRequested()) return StopBeforeTheCard();
  return reports_.Refuse(given_, why);
}

int CardRestore::StopBeforeTheCard() {
  const std::string text = "stopped. The card was not changed.";
  if (ui_) {
    ui_->Diagnostic(text);
  } else {
    std::fprintf(stderr, "tessarin: %s\n", text.c_str());
    std::fflush(stderr);
  }
  return reports_.StopBeforeTheCard(given_);
}

// Whatever failed, the operator learns whether the card was touched and
// where the project folder is.
int CardRestore::FailedUnexpectedly(const std::string& what) {
  const bool changed = hold_ && hold_->changed();
  ui_->Diagnostic(what + (changed ? "; the restore stopped after the card was changed" : "; nothing was changed"));
  stopAtBoundary_ = false;
  const std::string saved = NameSavedProject();
  if (!saved.empty()) ui_->Diagnostic("the Project folder is saved in " + saved);
  if (!changed && !reports_.Started()) return reports_.Refuse(given_, what, /*shown=*/true);
  const int status = changed ? kExitFailed : kExitUsage;
  reports_.Finish(status);
  return status;
}

// At a step's boundary: no tool runs, no copy is half made.
void CardRestore::StopAtBoundary() {
  if (!hold_->changed() && !g_strSavedProjectFolder.empty() && g_strSavedProjectFolder != kNoTempFolder) {
    // The card still holds the original: the copy is not needed.
    std::error_code ec;
    std::filesystem::remove_all(g_strSavedProjectFolder, ec);
    g_strSavedProjectFolder.clear();
  }
  const std::string saved = NameSavedProject();
  hold_->Sync();
  FlushPartitionCaches(*target_);
  std::string text = hold_->changed()
                         ? "stopped. The card was changed and may not start; restore it again to finish the job."
                         : "stopped. The card was not changed.";
  if (!saved.empty())
    text += " Its Project folder is saved in " + saved + "; the next restore of this card puts it back.";
  ui_->Diagnostic(text);
  reports_.Finish(kExitInterrupted);
  std::fflush(stdout);
  _exit(kExitInterrupted);
}

// The card work begins: an interrupt while the restore was starting stops
// it here, before the card is changed.
void CardRestore::OnRestoreStarted() {
  if (GuardTheRestore() && std::exchange(stopAtBoundary_, false)) StopAtBoundary();
}

// Where the operator's project folder is, when the restore ends before
// putting it back: the last log line says it.
std::string CardRestore::NameSavedProject() {
  std::string saved = SavedProjectCopy('/');
  if (!saved.empty()) log_->Log(std::string(kWarning) + "The Project Folder is saved in " + saved);
  return saved;
}

}  // namespace tessarin::linux_port
