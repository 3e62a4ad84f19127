// Several cards at once, reports for machines and the service record: the
// program restores every target in a process of its own, prefixes their
// lines, sums their results up, and its reports parse as JSON.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

#include "e2e_support.h"
#include "lx/several/parallel_restore.h"
#include "shared/restore_log_lines.h"

namespace e2e {
namespace {

using tessarin::linux_port::WorseStatus;

const char kGreeting[] = "Tessarin demo panel: BLDR started from the restored card.";

// The lines of one target out of the multiplexed output, its prefix taken
// off.
std::vector<std::string> LinesOf(const std::string& text, const std::string& target) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  const std::string prefix = target + ": ";
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

// The lines a terminal ends up showing for output that draws with \r,
// "ESC [K" (clear to the line's end), "ESC [nA" (up n lines) and "ESC [J"
// (clear to the screen's end).
std::vector<std::string> Screen(const std::string& output) {
  std::vector<std::string> lines(1);
  std::size_t row = 0, col = 0;
  for (std::size_t i = 0; i < output.size(); ++i) {
    const char c = output[i];
    if (c == '\r') {
      col = 0;
    } else if (c == '\n') {
      if (++row == lines.size()) lines.emplace_back();
      col = 0;
    } else if (c == '\033' && i + 1 < output.size() && output[i + 1] == '[') {
      std::size_t end = i + 2;
      while (end < output.size() && !std::isalpha(static_cast<unsigned char>(output[end]))) ++end;
      const std::size_t n = end > i + 2 ? std::stoul(output.substr(i + 2, end - i - 2)) : 1;
      const char op = end < output.size() ? output[end] : '\0';
      if (op == 'A') row = row > n ? row - n : 0;
      if (op == 'K' || op == 'J') lines[row].resize(std::min(col, lines[row].size()));
      if (op == 'J') lines.resize(row + 1);
      i = end;
    } else {
      if (col < lines[row].size())
        lines[row][col] = c;
      else
        lines[row] += c;
      ++col;
    }
  }
  return lines;
}

std::vector<std::string> CompleteRun(bool project) {
  std::vector<std::string> lines = {"::Info:: Backing up Project Folder."};
  lines.push_back(project ? "::Info:: Backing up Project Folder completed."
                          : "::Warning:: No Project Folder found on drive.");
  lines.insert(lines.end(), tessarin::test::kCardStepLines.begin(), tessarin::test::kCardStepLines.end());
  if (project) {
    for (const char* l : {"::Info:: Restoring Project Folder.", "::Info:: Restoring Project Folder Completed.",
                          "::Info:: Cleaning up Temp Direcotry.", "::Info:: Cleaning up Temp Direcotry Completed."})
      lines.push_back(l);
  }
  lines.push_back("::Info:: System restored to FLASH successfully.");
  return lines;
}

// Four card images at once, one of which loses its volume once formatted:
// the other three are restored, pass fsck and boot; the failing one stops
// with its message, its project folder waits where the table says; the
// exit status is the failure's.
TEST(SeveralCards, RestoredSideBySideWhileOneFails) {
  Scratch s;
  const fs::path tmp = s / "tmp";
  fs::create_directories(tmp);
  const std::vector<std::string> names = {"slot1.img", "slot2.img", "bad slot.img", "slot4.img"};
  for (const std::string& n : names) MakeCard(s / n, {96, std::nullopt, true});
  const Tree project = {
      {"main.prj", "the operator's project"}, {"screens/", ""}, {"screens/start.bmp", std::string(20000, 's')}};
  WriteTree(s / "project", project);
  PutOnCard(s / "slot2.img", s / "project", "Project");
  PutOnCard(s / "bad slot.img", s / "project", "Project");
  fs::copy_file(TESSARIN_DEMO_ARCHIVE, s / "wincesys.exe");
  PutCardDefinitions(s.path());
  // Only the bad slot's card is cut short after formatting.
  WrapTool(s / "hooks", "mkfs.fat", "",
           "case \"$*\" in *'bad slot.img'*) truncate -s " + std::to_string(kPartitionStart * 512) + " " +
               Quote(s / "bad slot.img") + ";; esac");

  const Output run = RunTessarin(s.path(), tmp, "--yes slot1.img slot2.img 'bad slot.img' slot4.img",
                                 "PATH=" + Quote(s / "hooks") + ":$PATH");
  EXPECT_EQ(run.status, 1) << run.err;

  for (const std::string n : {"slot1.img", "slot2.img", "slot4.img"}) {
    SCOPED_TRACE(n);
    // A card whose restore starts after the bad slot's has ended finds that
    // slot's copy waiting, and says so; one that starts earlier does not.
    std::vector<std::string> lines = LogMessages(Joined(LinesOf(run.out, n)));
    const std::string sibling = "::Warning:: A Project Folder saved by an earlier restore (";
    const std::string siblingDrive = ", drive " + (s / "bad slot.img").string() + ") waits in ";
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&](const std::string& l) {
                                 return l.rfind(sibling, 0) == 0 && l.find(siblingDrive) != std::string::npos;
                               }),
                lines.end());
    EXPECT_EQ(lines, CompleteRun(n == "slot2.img"));
    EXPECT_NE(Joined(LinesOf(run.err, n)).find("System restored to SD CARD successfully."), std::string::npos)
        << run.err;
    EXPECT_EQ(Attributes(s / n, "::/BLDR"), "ASHR");
    EXPECT_EQ(FsckFindings(s / n), std::vector<std::string>{});
    if (Shell("command -v qemu-system-i386").status == 0) {
      const std::string console = BootCard(s / n);
      EXPECT_NE(console.find(kGreeting), std::string::npos) << console;
    }
  }
  EXPECT_EQ(Digest(CardTree(s / "slot2.img", "Project", s.path())), Digest(project));

  // The failing card: its own lines say what happened and where the
  // project waits; so does the table.
  const std::vector<std::string> bad = LogMessages(Joined(LinesOf(run.out, "bad slot.img")));
  ASSERT_FALSE(bad.empty()) << run.out;
  const std::string savedLine = "::Warning:: The Project Folder is saved in ";
  ASSERT_EQ(bad.back().rfind(savedLine, 0), 0u) << bad.back();
  const std::string saved = bad.back().substr(savedLine.size());
  EXPECT_EQ(Digest(ReadTree(saved)), Digest(project));
  EXPECT_NE(Joined(LinesOf(run.err, "bad slot.img")).find("Failed to Format the Drive."), std::string::npos) << run.err;

  // Every line of the output belongs to a target, but the table's.
  const std::size_t table = run.out.find("\nTARGET ");
  ASSERT_NE(table, std::string::npos) << run.out;
  std::istringstream before(run.out.substr(0, table));
  for (std::string line; std::getline(before, line);)
    EXPECT_TRUE(std::any_of(names.begin(), names.end(), [&](const std::string& n) {
      return line.rfind(n + ": ", 0) == 0;
    })) << line;
  std::map<std::string, std::string> rows;
  std::istringstream summary(run.out.substr(table + 1));
  for (std::string line; std::getline(summary, line);) {
    for (const std::string& n : names)
      if (line.rfind(n + "  ", 0) == 0) rows[n] = line;
  }
  ASSERT_EQ(rows.size(), names.size()) << run.out.substr(table);
  for (const std::string n : {"slot1.img", "slot2.img", "slot4.img"}) {
    EXPECT_NE(rows[n].find("restored (exit status 0)"), std::string::npos) << rows[n];
    EXPECT_EQ(rows[n].back(), '-') << rows[n];
  }
  EXPECT_NE(rows["bad slot.img"].find("failed (exit status 1)"), std::string::npos) << rows["bad slot.img"];
  EXPECT_EQ(rows["bad slot.img"].substr(rows["bad slot.img"].size() - saved.size()), saved);
}

// The worst status wins: stopped by an interrupt over failed, over a
// project left waiting, over a refusal, over a No, over a success; a
// restore killed by a signal counts as failed.
TEST(SeveralCards, TheWorstStatusWins) {
  struct Case {
    std::vector<int> statuses;
    int worst;
  };
  const Case cases[] = {{{0, 0, 0}, 0},  {{0, 3}, 3},     {{3, 2, 0}, 2}, {{2, 4}, 4},         {{4, 1, 2}, 1},
                        {{0, 130}, 130}, {{130, 1}, 130}, {{137, 4}, 1},  {{1, 0, 4, 2, 3}, 1}};
  for (const Case& c : cases) {
    int worst = 0;
    for (int s : c.statuses) worst = WorseStatus(worst, s);
    EXPECT_EQ(worst, c.worst) << ::testing::PrintToString(c.statuses);
  }
}

// Each card is checked and held by its own restore: a card its checks
// refuse is left byte for byte as it was, named with its reason and its
// status in the table, and the others are restored all the same; the
// program's status is the worst card's.
// Cards in folder that the checks before the question refuse for their
// state: one under another restore's lock (flock(1) holds it as a restore
// would), one write-protected, one without a partition table, one a
// program writes to. The holders are ready once their commands run.
struct RefusedCards {
  explicit RefusedCards(const fs::path& folder)
      : made(Make(folder)),
        locker(folder, "exec flock -x locked.img " + HoldCommand(), "pgrep -P $pid -x tail >/dev/null"),
        writer(folder, "exec 3<>written.img; exec " + HoldCommand(),
               "test -e /proc/$pid/fd/3 && grep -q '^tail' /proc/$pid/cmdline") {}
  static bool Make(const fs::path& folder) {
    for (const char* n : {"locked.img", "readonly.img", "written.img"}) MakeCard(folder / n, {96, std::nullopt, true});
    MustShell("truncate -s 96M " + Quote(folder / "nopart.img") + " && chmod a-w " + Quote(folder / "readonly.img"));
    return true;
  }
  // Each card, and what its refusal says.
  std::vector<std::pair<std::string, std::string>> Refusals() const {
    return {{"locked.img", "locked.img is in use: process " + locker.pid() + " (flock) holds it"},
            {"readonly.img", "readonly.img is write-protected: the image file has no write permission."},
            {"nopart.img", "nopart.img holds no partition table"},
            {"written.img", "written.img is in use: open in PID " + writer.pid() + " (" + HoldCommand() + ")"}};
  }
  const bool made;
  const Holder locker;
  const Holder writer;
};

TEST(SeveralCards, ACardRefusedByItsChecksStopsNoOther) {
  Scratch s;
  fs::create_directories(s / "tmp");
  for (const char* n : {"a.img", "b.img"}) MakeCard(s / n, {96, std::nullopt, true});
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const RefusedCards refused(s.path());

  struct Card {
    std::string target;
    int status;
    std::string why;  // in its lines on standard error; empty for a card restored
  };
  std::vector<Card> cards = {{"a.img", 0, ""}};
  for (const auto& [target, why] : refused.Refusals()) cards.push_back({target, 2, why});
  cards.push_back({"missing.img", 2, "missing.img: No such file or directory."});
  cards.push_back({"b.img", 0, ""});
  std::map<std::string, std::string> before;
  std::string args = "--yes";
  for (const Card& c : cards) {
    args += " " + c.target;
    if (c.status != 0 && fs::exists(s / c.target)) before[c.target] = FileHash(s / c.target);
  }
  const Output run = RunTessarin(s.path(), s / "tmp", args);
  EXPECT_EQ(run.status, 2) << run.err;

  const std::size_t table = run.out.find("\nTARGET ");
  ASSERT_NE(table, std::string::npos) << run.out;
  std::istringstream summary(run.out.substr(table + 1));
  std::map<std::string, std::string> rows;
  for (std::string line; std::getline(summary, line);)
    for (const Card& c : cards)
      if (line.rfind(c.target + "  ", 0) == 0) rows[c.target] = line;
  for (const Card& c : cards) {
    SCOPED_TRACE(c.target);
    const std::string err = Joined(LinesOf(run.err, c.target));
    if (c.status == 0) {
      EXPECT_NE(rows[c.target].find("restored (exit status 0)"), std::string::npos) << rows[c.target];
      EXPECT_EQ(Attributes(s / c.target, "::/BLDR"), "ASHR");
      EXPECT_EQ(FsckFindings(s / c.target), std::vector<std::string>{});
      continue;
    }
    EXPECT_NE(rows[c.target].find("refused (exit status 2)"), std::string::npos) << rows[c.target];
    EXPECT_NE(err.find(c.why), std::string::npos) << err;
    EXPECT_NE(err.find("Nothing was changed."), std::string::npos) << err;
    EXPECT_TRUE(LinesOf(run.out, c.target).empty()) << run.out;
    if (before.count(c.target) != 0) {
      EXPECT_EQ(FileHash(s / c.target), before[c.target]);
    }
  }
}

// --check on the same cards: each card's verdict under its target, the
// refusals those of the restore, the worst status; no question (no
// terminal, no --yes), no table of results, and every card as it was.
TEST(SeveralCards, CheckedAsTheyWouldBeRestored) {
  Scratch s;
  fs::create_directories(s / "tmp");
  MakeCard(s / "a.img", {96, std::nullopt, true});
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const RefusedCards refused(s.path());
  const std::string archive = (fs::canonical(s.path()) / "wincesys.exe").string();

  struct Card {
    std::string target;
    std::string verdict;  // in its lines on standard error
  };
  std::vector<Card> cards = {{"a.img", "tessarin: a.img: would be restored (system Windows CE from " + archive + ")"}};
  for (const auto& [target, why] : refused.Refusals()) cards.push_back({target, why});
  std::map<std::string, std::string> before;
  std::string args = "--check";
  for (const Card& c : cards) {
    args += " " + c.target;
    before[c.target] = FileHash(s / c.target);
  }
  const Output run = RunTessarin(s.path(), s / "tmp", args + " </dev/null");
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_EQ(run.out, "") << "no table of results";
  for (const Card& c : cards) {
    SCOPED_TRACE(c.target);
    const std::vector<std::string> lines = LinesOf(run.err, c.target);
    EXPECT_NE(Joined(lines).find(c.verdict), std::string::npos) << run.err;
    const bool good = c.target == "a.img";
    EXPECT_EQ(Joined(lines).find("would be restored") != std::string::npos, good) << Joined(lines);
    EXPECT_EQ(Joined(lines).find("Nothing was changed.") != std::string::npos, !good) << Joined(lines);
    EXPECT_EQ(FileHash(s / c.target), before[c.target]);
  }
  EXPECT_TRUE(fs::is_empty(s / "tmp"));
}

// The disk the running system stands on stays refused among several
// targets, before anything is read from it; the card beside it is asked
// about (and declined here, so that nothing is written whatever happens);
// the refusal is the worse status.
TEST(SeveralCards, TheSystemsDiskAmongThemIsRefused) {
  std::string source = MustShell("findmnt -nvo SOURCE /");
  while (!source.empty() && source.back() == '\n') source.pop_back();
  std::string parent = Shell("lsblk -ndo PKNAME " + Quote(source) + " 2>/dev/null").out;
  while (!parent.empty() && parent.back() == '\n') parent.pop_back();
  const std::string rootDisk = parent.empty() ? source : "/dev/" + parent;
  if (Shell("test -b " + Quote(rootDisk)).status != 0) GTEST_SKIP() << "/ is not on a block device: " << source;
  Scratch s;
  fs::create_directories(s / "tmp");
  MakeCard(s / "a.img", {96, std::nullopt, true});
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const std::string before = FileHash(s / "a.img");
  const Output run = Shell("cd " + Quote(s.path()) + " && printf 'n\\n' | TMPDIR=" + Quote(s / "tmp") +
                           " script -qec " + Quote(Quote(TESSARIN_PROGRAM) + " " + rootDisk + " a.img") + " /dev/null");
  EXPECT_EQ(run.status, 2) << run.out;
  EXPECT_NE(run.out.find(rootDisk + ": tessarin: " + rootDisk + " holds the running system ("), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("1 of 2 cards passed their checks"), std::string::npos) << run.out;
  EXPECT_EQ(FileHash(s / "a.img"), before);
}

// A saved project folder whose restore is still running (its folder held)
// is nobody's leftover: restores of other cards at the same moment, and
// even of the same card, neither take it nor list it as waiting.
TEST(SeveralCards, ARunningRestoresFolderIsNoLeftover) {
  Scratch s;
  const fs::path card = s / "card.img";
  const fs::path tmp = s / "tmp";
  fs::create_directories(tmp);
  MakeCard(card, {96, std::nullopt, true});
  const Tree project = {{"main.prj", "the operator's project"}};
  WriteTree(s / "project", project);
  PutOnCard(card, s / "project", "Project");
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  // The first restore fails once the card is formatted: its copy waits,
  // with its note.
  const Output first = RunTessarin(s.path(), tmp, "--yes card.img",
                                   "LD_PRELOAD=" + Quote(TESSARIN_OPEN_HOOK) +
                                       " ASAN_OPTIONS=verify_asan_link_order=0 TESSARIN_HOOK_CARD=" + Quote(card) +
                                       " TESSARIN_HOOK_AFTER_OPENING=/wincesys.exe TESSARIN_HOOK_NTH=2");
  fs::permissions(card, fs::perms::owner_write, fs::perm_options::add);
  ASSERT_EQ(first.status, 1) << first.err;
  const std::string savedLine = "::Warning:: The Project Folder is saved in ";
  const std::vector<std::string> firstLog = LogMessages(first.out);
  ASSERT_FALSE(firstLog.empty());
  ASSERT_EQ(firstLog.back().rfind(savedLine, 0), 0u) << first.out;
  const fs::path saved = firstLog.back().substr(savedLine.size());
  const fs::path folder = saved.parent_path();
  ASSERT_TRUE(fs::exists(folder / "Card.txt"));

  // As if its restore still ran: the folder held (ready once the lock is
  // taken and the holding command runs).
  const Holder holder(s.path(), "exec 9<" + Quote(folder) + "; flock -x 9; exec " + HoldCommand(),
                      "grep -q '^tail' /proc/$pid/cmdline");

  const Output second = RunTessarin(s.path(), tmp, "--yes card.img");
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out.find(folder.string()), std::string::npos) << second.out;
  EXPECT_TRUE(CardTree(card, "Project", s.path()).empty());
  EXPECT_EQ(Digest(ReadTree(saved)), Digest(project));
}

// Mistakes in the command line stop everything before any card is touched.
TEST(SeveralCards, TheSameCardTwiceOrNoWayToAskIsRefused) {
  Scratch s;
  MakeCard(s / "a.img", {96, std::nullopt, true});
  MakeCard(s / "b.img", {96, std::nullopt, true});
  const std::string a = FileHash(s / "a.img");
  const Output twice = RunTessarin(s.path(), s.path(), "--yes a.img b.img ./a.img");
  EXPECT_EQ(twice.status, 2);
  EXPECT_NE(twice.err.find("the card ./a.img is given more than once"), std::string::npos) << twice.err;
  const Output unasked = RunTessarin(s.path(), s.path(), "a.img b.img");
  EXPECT_EQ(unasked.status, 2);
  EXPECT_NE(unasked.err.find("no terminal to confirm"), std::string::npos) << unasked.err;
  EXPECT_EQ(FileHash(s / "a.img"), a);
}

// Restores a.img and b.img (with their archive, in s) by one command with
// options, and interrupts it while both formatters run: they say they run
// and wait. Each interrupt goes once both restores have written the line
// of the one before on standard error (two sent at once would be one),
// takenLines one an interrupt (signal, SIGINT unless told); then the
// formatters go on. The program's
// standard error is the result's.
Output InterruptWhileFormatting(const Scratch& s, const std::string& options,
                                const std::vector<std::string>& takenLines, const std::string& signal = "INT") {
  fs::create_directories(s / "tmp");
  MakeCard(s / "a.img", {96, std::nullopt, true});
  MakeCard(s / "b.img", {96, std::nullopt, true});
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const std::string flags = Quote((s / "flags").string());
  fs::create_directories(s / "flags");
  WrapTool(s / "hooks", "mkfs.fat", "touch " + flags + "/started.$$; " + ShellWaitUntil("[ -e " + flags + "/go ]"), "");
  std::string interrupts;
  for (const std::string& line : takenLines)
    interrupts +=
        "kill -" + signal + " $pid; " + ShellWaitUntil("[ $(grep -cF " + Quote(line) + " err.txt) -ge 2 ]") + "; ";
  return Shell("cd " + Quote(s.path()) + " && { PATH=" + Quote(s / "hooks") + ":$PATH TMPDIR=" + Quote(s / "tmp") +
               " " + Quote(TESSARIN_PROGRAM) + " " + options + " a.img b.img 2>err.txt & pid=$!; " +
               ShellWaitUntil("[ $(ls " + flags + " | wc -l) -ge 2 ]") + "; " + interrupts + "touch " + flags +
               "/go; wait $pid; status=$?; cat err.txt >&2; exit $status; }");
}

// An interrupt reaches the program only (its restores have process groups
// of their own) and is passed on once: each restore warns and goes on.
// Sent once both restores are formatting: past their question and their
// start.
TEST(SeveralCards, AnInterruptIsPassedOnOnce) {
  Scratch s;
  const Output run = InterruptWhileFormatting(s, "--yes", {kFirstInterruptLine});
  EXPECT_EQ(run.status, 0) << run.err;
  for (const std::string n : {"a.img", "b.img"}) {
    const std::string err = Joined(LinesOf(run.err, n));
    EXPECT_NE(err.find(kFirstInterruptLine), std::string::npos) << run.err;
    EXPECT_EQ(err.find("Interrupt again"), err.rfind("Interrupt again")) << "warned twice:\n" << err;
    EXPECT_EQ(Attributes(s / n, "::/BLDR"), "ASHR");
  }
  EXPECT_NE(run.err.find("passed on to the 2 restores still running"), std::string::npos) << run.err;
}

// A request for progress (SIGUSR1) is passed on to every restore: each
// writes its line, and goes on to the end.
TEST(SeveralCards, ARequestForProgressIsAnsweredByEachCard) {
  Scratch s;
  const Output run = InterruptWhileFormatting(s, "--yes", {kProgressLine}, "USR1");
  EXPECT_EQ(run.status, 0) << run.err;
  for (const std::string n : {"a.img", "b.img"}) {
    EXPECT_NE(Joined(LinesOf(run.err, n)).find(kProgressLine), std::string::npos) << run.err;
    EXPECT_EQ(Attributes(s / n, "::/BLDR"), "ASHR");
  }
  EXPECT_EQ(run.err.find("passed on to the"), std::string::npos) << run.err;
}

// A second interrupt stops every card at its next step's boundary: each
// says so, the JSON report ends each card with "stopped" and the summary
// with 130, and the service record holds each card's block with its end.
TEST(SeveralCards, ASecondInterruptStopsEachCardAndTheReportsSaySo) {
  Scratch s;
  const Output run = InterruptWhileFormatting(s, "--yes --json --log service.log >json.out",
                                              {kFirstInterruptLine, kSecondInterruptLine});
  const std::string& err = run.err;
  EXPECT_EQ(run.status, 130) << err;
  const std::string json = ReadFileBytes(s / "json.out");
  EXPECT_EQ(JsonQuery(json, "sorted((o['target'], o['status'], o['result']) for o in objs if o['event'] == 'result')"),
            "[('a.img', 130, 'stopped'), ('b.img', 130, 'stopped')]");
  EXPECT_EQ(JsonQuery(json, "objs[-1]['event'], objs[-1]['status']"), "('summary', 130)");
  for (const std::string n : {"a.img", "b.img"}) {
    EXPECT_NE(Joined(LinesOf(err, n)).find("stopped. The card was changed and may not start"), std::string::npos)
        << err;
  }
  const std::string record = ReadFileBytes(s / "service.log");
  std::size_t stopped = 0;
  for (std::size_t at = record.find("result: stopped (exit status 130)"); at != std::string::npos;
       at = record.find("result: stopped (exit status 130)", at + 1))
    ++stopped;
  EXPECT_EQ(stopped, 2u) << record;
}

// Without --yes, every card is checked by its own restore before the
// operator is asked, once, about the cards that passed: a card refused
// meanwhile is named first and left out; the answer holds for every card.
TEST(SeveralCards, AskedOnceAfterEveryCardsChecks) {
  struct Case {
    const char* answer;
    std::vector<std::string> targets;
    int status;
    bool restored;
  };
  const Case cases[] = {
      {"y", {"a.img", "nopart.img", "b.img"}, 2, true},
      {"n", {"a.img", "b.img"}, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    Scratch s;
    fs::create_directories(s / "tmp");
    MakeCard(s / "a.img", {96, std::nullopt, true});
    MakeCard(s / "b.img", {96, std::nullopt, true});
    MustShell("truncate -s 96M " + Quote(s / "nopart.img"));
    MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
    const std::string before = FileHash(s / "a.img");
    std::string args;
    for (const std::string& t : c.targets) args += " " + t;
    // script gives the program a terminal to ask on; the answer is typed
    // ahead.
    const Output run = Shell("cd " + Quote(s.path()) + " && printf '" + c.answer + "\\n' | TMPDIR=" + Quote(s / "tmp") +
                             " script -qec " + Quote(Quote(TESSARIN_PROGRAM) + args) + " /dev/null");
    EXPECT_EQ(run.status, c.status) << run.out;
    const std::string ready = std::to_string(c.targets.size() - (c.restored ? 1 : 0)) + " of " +
                              std::to_string(c.targets.size()) + " cards passed their checks";
    const std::size_t asked = run.out.find(ready);
    ASSERT_NE(asked, std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(ready, asked + 1), std::string::npos) << "asked more than once";
    EXPECT_NE(run.out.find("system to the SD CARD in drives a.img, b.img?"), std::string::npos) << run.out;
    if (c.restored) {
      const std::size_t refused = run.out.find("nopart.img: tessarin: nopart.img holds no partition table");
      EXPECT_LT(refused, asked) << run.out;
    }
    for (const std::string n : {"a.img", "b.img"}) {
      EXPECT_NE(
          run.out.find(n + ": [Yes/No, default No] " + (c.restored ? "yes" : "no") + " (asked once for every card)"),
          std::string::npos)
          << run.out;
      if (c.restored) {
        EXPECT_EQ(Attributes(s / n, "::/BLDR"), "ASHR") << n;
      }
    }
    if (!c.restored) {
      EXPECT_EQ(FileHash(s / "a.img"), before);
    }
  }
}

// On a terminal every card has a line of its own below the log, redrawn
// in place (the cursor moved up over the others); the log lines between
// the drawings stay whole.
TEST(SeveralCards, OnATerminalOneProgressLinePerCard) {
  Scratch s;
  fs::create_directories(s / "tmp");
  MakeCard(s / "a.img", {96, std::nullopt, true});
  MakeCard(s / "b.img", {96, std::nullopt, true});
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  // script gives the program a terminal (one that moves its cursor,
  // whatever the test runs under); what it shows comes back on script's
  // output.
  const Output run = Shell("cd " + Quote(s.path()) + " && TERM=xterm TMPDIR=" + Quote(s / "tmp") + " script -qec " +
                           Quote(Quote(TESSARIN_PROGRAM) + " --yes a.img b.img") + " /dev/null");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("\r\033[1A\033[J"), std::string::npos) << "the board is not redrawn in place";
  // What the terminal shows in the end: each card's log complete, the
  // last drawing of the board, the table.
  const std::vector<std::string> screen = Screen(run.out);
  const std::string text = Joined(screen);
  for (const std::string n : {"a.img", "b.img"}) {
    std::vector<std::string> log;
    for (const std::string& l : LinesOf(text, n))
      if (l.find("::") != std::string::npos) log.push_back(l);
    EXPECT_EQ(LogMessages(Joined(log)), CompleteRun(false)) << n << "\n" << text;
  }
  EXPECT_NE(text.find("a.img: done: restored\nb.img: done: restored\n\nTARGET"), std::string::npos) << text;
}

// A terminal that cannot move its cursor (TERM=dumb, or no TERM) gets no
// escape sequence at all, from one card's restore or several's; nor does
// --quiet on a terminal that could. --quiet leaves on standard error the
// result alone: no progress, no announcement; the log stays whole.
TEST(Terminal, NoEscapesWhereTheyCannotBeDrawnOrAreNotWanted) {
  struct Case {
    const char* name;
    std::string environment;  // before script
    std::string arguments;
  };
  const Case cases[] = {
      {"DumbOneCard", "TERM=dumb", "--yes a.img"},
      {"DumbSeveralCards", "TERM=dumb", "--yes a.img b.img"},
      {"NoTermOneCard", "env -u TERM", "--yes a.img"},
      {"QuietOnATerminal", "TERM=xterm", "--yes --quiet a.img b.img"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    fs::create_directories(s / "tmp");
    MakeCard(s / "a.img", {96, std::nullopt, true});
    MakeCard(s / "b.img", {96, std::nullopt, true});
    MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
    const Output run = Shell("cd " + Quote(s.path()) + " && TMPDIR=" + Quote(s / "tmp") + " " + c.environment +
                             " script -qec " + Quote(Quote(TESSARIN_PROGRAM) + " " + c.arguments) + " /dev/null");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find('\033'), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("System restored to FLASH successfully."), std::string::npos) << run.out;
    EXPECT_EQ(Attributes(s / "a.img", "::/BLDR"), "ASHR");
  }
}

TEST(Terminal, QuietLeavesTheResultAlone) {
  Scratch s;
  fs::create_directories(s / "tmp");
  MakeCard(s / "a.img", {96, std::nullopt, true});
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const Output loud = RunTessarin(s.path(), s / "tmp", "--yes a.img");
  ASSERT_EQ(loud.status, 0) << loud.err;
  const Output quiet = RunTessarin(s.path(), s / "tmp", "--yes -q a.img");
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_NE(loud.err.find("tessarin: drive e: is"), std::string::npos) << loud.err;
  // The result's box, as it ends the restore without --quiet.
  const std::size_t result = loud.err.find("[tessarin] System restored to SD CARD successfully.");
  ASSERT_NE(result, std::string::npos) << loud.err;
  EXPECT_EQ(quiet.err, loud.err.substr(result));
  EXPECT_EQ(LogMessages(quiet.out), LogMessages(loud.out));
}

// --json: only JSON on standard output, one object per line, that a real
// parser reads back: each card's start, its steps begun and ended, its
// result with the card's identity; with several cards a summary last.
TEST(JsonReport, EveryLineParsesAndTellsTheStory) {
  Scratch s;
  fs::create_directories(s / "tmp");
  // A name a terminal or a careless JSON writer would trip over.
  const std::string odd = "card \xff\x1b[31m.img";
  MakeCard(s / odd, {96, std::nullopt, true});
  MakeCard(s / "plain.img", {96, std::nullopt, true});
  MakeCard(s / "blank.img", {96, std::nullopt, false});
  MustShell("dd if=/dev/zero of=" + Quote(s / "blank.img") + " bs=512 count=1 conv=notrunc status=none");
  fs::copy_file(TESSARIN_DEMO_ARCHIVE, s / "wincesys.exe");

  const Output one = RunTessarin(s.path(), s / "tmp", "--yes --json " + Quote(odd));
  ASSERT_EQ(one.status, 0) << one.err;
  // Each line an object; the whole run's story in order.
  EXPECT_EQ(JsonQuery(one.out, "len(objs) > 0 and all(isinstance(o, dict) and 'event' in o for o in objs)"), "True");
  EXPECT_EQ(JsonQuery(one.out, "[o['event'] for o in objs][0], [o['event'] for o in objs][-1]"), "('start', 'result')");
  EXPECT_EQ(JsonQuery(one.out, "set(o['target'] for o in objs) == {'card \\ufffd\\x1b[31m.img'}"), "True");
  EXPECT_EQ(JsonQuery(one.out, "[(o['step'], o['state']) for o in objs if o['event'] == 'step'][:4]"),
            "[('backup-project', 'begin'), ('backup-project', 'end'), ('first-lock', 'begin'), ('first-lock', 'end')]");
  EXPECT_EQ(JsonQuery(one.out, "sorted(set(o['step'] for o in objs if o['event'] == 'step' and o['state'] == 'end'))"),
            "['backup-project', 'boot-sector', 'firmware', 'first-lock', 'first-unlock', 'format', 'lock', "
            "'master-boot-record', 'unlock']");
  // The long steps' progress in bytes, ending at the whole.
  EXPECT_EQ(JsonQuery(one.out,
                      "[(o['step'], o['done'] == o['total'] > 0) for o in objs if o['event'] == 'progress' "
                      "and 'done' in o][-1]"),
            "('firmware', True)");
  // Reading the installed files back is a long step of its own, counted in
  // bytes too.
  EXPECT_EQ(JsonQuery(one.out,
                      "[o['done'] == o['total'] > 0 for o in objs if o['event'] == 'progress' and 'done' in o "
                      "and o['task'].startswith('Verifying')][-1:]"),
            "[True]");
  EXPECT_EQ(JsonQuery(one.out, "[o['text'] for o in objs if o['event'] == 'log'][-1]"),
            "System restored to FLASH successfully.");
  EXPECT_EQ(JsonQuery(one.out,
                      "(lambda r: (r['status'], r['result'], r['saved_project'], r['card']['label'], "
                      "r['card']['file_system'], r['card']['block_device']))(objs[-1])"),
            "(0, 'restored', None, 'QV', 'FAT32', False)");
  EXPECT_EQ(
      JsonQuery(one.out, "objs[0]['archive']['size'] > 0 and objs[0]['archive']['path'].endswith('/wincesys.exe')"),
      "True");

  // Several: each object names its card; a refused card has its result
  // with the reason; the summary comes last with the worst status.
  const Output several = RunTessarin(s.path(), s / "tmp", "--yes --json plain.img blank.img");
  EXPECT_EQ(several.status, 2) << several.err;
  EXPECT_EQ(JsonQuery(several.out,
                      "objs[-1]['event'], objs[-1]['status'], [(c['target'], c['result']) for c in "
                      "objs[-1]['cards']]"),
            "('summary', 2, [('plain.img', 'restored'), ('blank.img', 'refused')])");
  EXPECT_EQ(JsonQuery(several.out,
                      "[(o['status'], 'no partition table' in o['reason']) for o in objs if "
                      "o['event'] == 'result' and o['target'] == 'blank.img']"),
            "[(2, True)]");
  EXPECT_EQ(JsonQuery(several.out,
                      "[o['status'] for o in objs if o['event'] == 'result' and o['target'] == "
                      "'plain.img']"),
            "[0]");
}

// --log: every run appends one block in one piece, with the card, the
// archive's size and digest, the version, the log lines and the result;
// runs that end together do not mix their lines.
TEST(ServiceLog, EveryRunAppendsOneWholeBlock) {
  Scratch s;
  fs::create_directories(s / "tmp");
  for (const char* n : {"a.img", "b.img", "c.img", "d.img"}) MakeCard(s / n, {96, std::nullopt, true});
  fs::copy_file(TESSARIN_DEMO_ARCHIVE, s / "wincesys.exe");
  const std::string digest = MustShell("sha256sum " + Quote(s / "wincesys.exe")).substr(0, 64);
  // "tessarin 1.7.0\n", the first line of --version.
  const std::string versionText = MustShell(Quote(TESSARIN_PROGRAM) + " --version");
  const std::string version = versionText.substr(9, versionText.find('\n') - 9 + 1);

  ASSERT_EQ(RunTessarin(s.path(), s / "tmp", "--yes --log service.log a.img").status, 0);
  const Output several = RunTessarin(s.path(), s / "tmp", "--yes --log service.log b.img c.img d.img missing.img");
  EXPECT_EQ(several.status, 2) << several.err;

  std::istringstream in(ReadFileBytes(s / "service.log"));
  std::vector<std::vector<std::string>> blocks;
  bool open = false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) {
      open = false;
      continue;
    }
    if (!open) blocks.emplace_back();
    open = true;
    blocks.back().push_back(line);
  }
  ASSERT_EQ(blocks.size(), 5u);
  std::vector<std::string> cards;
  for (const auto& b : blocks) {
    const std::string text = Joined(b);
    SCOPED_TRACE(text);
    EXPECT_EQ(b.front().rfind("== tessarin " + version.substr(0, version.size() - 1) + ", ", 0), 0u);
    ASSERT_GE(b.size(), 3u);
    EXPECT_EQ(b[1].rfind("card: ", 0), 0u);
    cards.push_back(b[1]);
    EXPECT_EQ(std::count_if(b.begin(), b.end(), [](const std::string& l) { return l.rfind("result: ", 0) == 0; }), 1);
    if (text.find("missing.img") != std::string::npos) {
      EXPECT_NE(text.find("result: refused (exit status 2): "), std::string::npos);
      continue;
    }
    EXPECT_NE(text.find("archive: " + (s / "wincesys.exe").string() + ", " +
                        std::to_string(fs::file_size(s / "wincesys.exe")) + " bytes, sha256 " + digest),
              std::string::npos);
    EXPECT_NE(text.find("card before: FAT32 (LBA), FAT32"), std::string::npos);
    EXPECT_NE(text.find("card after: FAT32, label \"QV\", serial "), std::string::npos);
    EXPECT_NE(text.find("result: restored (exit status 0)"), std::string::npos);
    // Its own log lines, whole and in order.
    std::vector<std::string> log;
    for (const std::string& l : b)
      if (l.find("::") != std::string::npos && l.rfind("[tessarin]", 0) != 0) log.push_back(l);
    EXPECT_EQ(LogMessages(Joined(log)), CompleteRun(false));
  }
  std::sort(cards.begin(), cards.end());
  EXPECT_EQ(cards[0].substr(0, 6 + (s / "a.img").string().size()), "card: " + (s / "a.img").string());
  EXPECT_EQ(cards.back(), "card: missing.img");
}

// An interrupt that reaches a card's restore while it is still starting,
// before it has set up its own handling (here the moment its process
// exists: it cannot get past opening the service record, a FIFO, until the
// interrupt is sent), stops that card cleanly: nothing changed, "stopped",
// while the other card is restored.
TEST(SeveralCards, AnInterruptWhileARestoreStartsStopsThatCard) {
  Scratch s;
  fs::create_directories(s / "tmp");
  MakeCard(s / "a.img", {96, std::nullopt, true});
  MakeCard(s / "b.img", {96, std::nullopt, true});
  MakeInstaller(s / "wincesys.exe", {{"BLDR", "loader"}}, {"BLDR"}, s.path());
  const std::string before = FileHash(s / "a.img");
  MustShell("mkfifo " + Quote(s / "service.log"));
  // The lowest PID among the program's children is a.img's restore; the
  // FIFO gets its reader (and room for both records) after the interrupt.
  const Output run = Shell(
      "cd " + Quote(s.path()) + " && { TMPDIR=" + Quote(s / "tmp") + " " + Quote(TESSARIN_PROGRAM) +
      " --yes --log service.log a.img b.img 2>err.txt & pid=$!; "
      "until child=$(grep -ls \"^PPid:[[:space:]]*$pid\\$\" /proc/[0-9]*/status | cut -d/ -f3 | sort -n | head -1) "
      "&& [ -n \"$child\" ]; do :; done; "
      "kill -INT $child; exec 5<>service.log; wait $pid; status=$?; cat err.txt >&2; exit $status; }");
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_NE(Joined(LinesOf(run.err, "a.img")).find("stopped. The card was not changed."), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("killed by signal"), std::string::npos) << run.err;
  EXPECT_EQ(FileHash(s / "a.img"), before);
  EXPECT_EQ(Attributes(s / "b.img", "::/BLDR"), "ASHR");
}

}  // namespace
}  // namespace e2e
