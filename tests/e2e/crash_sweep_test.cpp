// Restores that die: the Linux program killed, or its card pulled, at
// writes chosen over every step of a restore (inside mkfs.fat, the boot
// records, the installer, the copy back up to its very last write), the
// PC's power cut while the saved copy is still in its page cache, and the
// hostile and unlucky cases around the saved copy. Whatever stopped the
// restore, the next plain restore of the same card must end with the
// card's Project folder as it was: names, short names, contents and
// attributes, on a volume fsck.fat finds sound, and no saved copy left.
//
// The writes are numbered by a preloaded hook (crash_writes.c) across
// tessarin and the tools it starts. A first restore only counts them and
// notes the step each belongs to, from the log lines printed before it.
// TESSARIN_SWEEP_POINTS (write numbers, separated by commas) sweeps those
// writes alone, to look at one point again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

// The smallest card the sample definitions and a FAT32 volume of 512-byte
// clusters allow: the formatter's writes grow with the card.
constexpr std::uint64_t kCardMegabytes = 64;
// How long one restore may take before the sweep calls it hung.
constexpr int kRunSeconds = 120;
const char kSuccessLine[] = "::Info:: System restored to FLASH successfully.";
const char kSuccessText[] = "System restored to SD CARD successfully.";

// The last lines of a program's output, for a report.
std::string LastLines(const std::string& text, std::size_t count = 4) {
  std::size_t at = text.size();
  if (at > 0 && text[at - 1] == '\n') --at;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t nl = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
    if (nl == std::string::npos) return text;
    at = nl;
  }
  return text.substr(at + 1);
}

// The operator's project: long names, short names that clash, a lower-case
// 8.3 name, folders three deep, an empty folder, an empty file, files of a
// few clusters, and attributes set on files and on a folder.
Tree ProjectTree() {
  Tree t = {
      {"main.prj", Noise(3000, 1)},
      {"Setup.ini", "[Panel]\nLanguage=de\nContrast=7\n"},
      {"readme.txt", "lower-case short name"},
      {"A long file name with several words.txt", Noise(1700, 2)},
      {"Recipe list.csv", "recipe;name\n1;Alpha\n2;Beta\n"},
      {"empty.dat", ""},
      {"Screens/start.bmp", Noise(20000, 3)},
      {"Screens/Line 1 overview.bmp", Noise(6000, 4)},
      {"Screens/Line 2 overview.bmp", Noise(6000, 5)},
      {"Recipes/Archive 2025/recipe01 (old).rcp", Noise(900, 6)},
      {"Recipes/Archive 2025/notes.txt", "kept for the audit"},
      {"Fonts/panel font.fnt", Noise(4000, 7)},
      {"Empty folder/", ""},
  };
  for (int i = 1; i <= 4; ++i)
    t["alarm_log_2026-12-10_000" + std::to_string(i) + ".csv"] = Noise(1000 + 300 * i, 10 + i);
  for (int i = 1; i <= 5; ++i) t["Recipes/recipe0" + std::to_string(i) + ".rcp"] = Noise(200 * i, 20 + i);
  return t;
}

// mattrib's flags and the project's paths they go to.
const std::vector<std::pair<std::string, std::string>> kProjectAttributes = {
    {"+r", "main.prj"},
    {"+h", "Setup.ini"},
    {"+s", "Screens/Line 1 overview.bmp"},
    {"-a", "Recipes/recipe01.rcp"},
    {"+h +r", "Fonts"},
    {"+h", "Recipes/Archive 2025/notes.txt"},
};

// The card's Project folder as the independent tools see it.
struct ProjectState {
  bool present = false;
  std::string unreadable;                           // mdir's complaint when the folder cannot be listed
  std::set<Listed> names;                           // long and short names
  std::map<std::string, std::string> contents;      // sizes and hashes
  std::map<std::string, std::uint32_t> attributes;  // mattrib's reading
};

ProjectState ProjectOn(const fs::path& card, const fs::path& scratch) {
  ProjectState p;
  const std::string volume = CardVolume(card);
  const Output listed = Shell("MTOOLS_SKIP_CHECK=1 mdir -i " + Quote(volume) + " ::/Project");
  p.present = listed.status == 0;
  if (!p.present) {
    p.unreadable = listed.err;
    return p;
  }
  p.names = MdirListing(volume, "Project");
  p.contents = Digest(CardTree(card, "Project", scratch));
  for (const auto& a : ParseAttributeListing(Mtools(card, "mattrib -/ ::/Project")))
    p.attributes[a.path] = a.attributes;
  return p;
}

// A short list of what differs between two maps (or sets): missing,
// unexpected and changed entries, ten of each at most.
template <typename Collection>
void CompareInto(std::ostringstream& d, const char* what, const Collection& want, const Collection& got) {
  if (want == got) return;
  std::vector<std::string> missing, unexpected;
  for (const auto& e : want)
    if (std::find(got.begin(), got.end(), e) == got.end()) missing.push_back(::testing::PrintToString(e));
  for (const auto& e : got)
    if (std::find(want.begin(), want.end(), e) == want.end()) unexpected.push_back(::testing::PrintToString(e));
  auto list = [&d](const char* label, const std::vector<std::string>& items) {
    if (items.empty()) return;
    d << "  " << label << ":";
    for (std::size_t i = 0; i < items.size() && i < 10; ++i) d << " " << items[i];
    if (items.size() > 10) d << " ... and " << items.size() - 10 << " more";
    d << "\n";
  };
  d << what << " differ\n";
  list("wanted", missing);
  list("found", unexpected);
}

// What differs between the project wanted and the one found; empty when
// they are the same.
std::string Differences(const ProjectState& want, const ProjectState& got) {
  if (!got.present) return "no Project folder on the card (mdir: " + LastLines(got.unreadable, 1) + ")\n";
  std::ostringstream d;
  CompareInto(d, "names", want.names, got.names);
  CompareInto(d, "contents", want.contents, got.contents);
  CompareInto(d, "attributes", want.attributes, got.attributes);
  return d.str();
}

std::string Entries(const fs::path& dir) {
  std::string names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names += " " + e.path().filename().string();
  return names;
}

// One write of a whole restore to the card, in the order they happened.
struct CardWrite {
  long long number = 0;
  std::string program;  // the process that wrote
  std::uint64_t offset = 0;
  std::size_t length = 0;
  std::string step;  // the last log line before it; the formatter named
};

// A run of the hook: what happens at which write.
struct Hook {
  std::string action;  // "kill", "eio", "pause"; empty: count only
  long long at = 0;
  fs::path counter;
  fs::path log;       // the counting run's list of writes
  fs::path paused;    // made when a pause begins
  fs::path go;        // the pause ends when it exists
  fs::path disk;      // the PC's disk image, copied as it is when killed
  fs::path diskCopy;  // to here
};

std::string HookLauncher(const fs::path& card, const Hook& hook) {
  std::string l = "LD_PRELOAD=" + Quote(TESSARIN_CRASH_WRITES) +
                  " ASAN_OPTIONS=verify_asan_link_order=0 TESSARIN_CRASH_CARD=" + Quote(card) +
                  " TESSARIN_CRASH_COUNTER=" + Quote(hook.counter);
  if (!hook.action.empty())
    l += " TESSARIN_CRASH_ACTION=" + hook.action + " TESSARIN_CRASH_AT=" + std::to_string(hook.at);
  if (!hook.log.empty()) l += " TESSARIN_CRASH_LOG=" + Quote(hook.log);
  if (!hook.paused.empty()) l += " TESSARIN_CRASH_PAUSED=" + Quote(hook.paused);
  if (!hook.go.empty()) l += " TESSARIN_CRASH_GO=" + Quote(hook.go);
  if (!hook.disk.empty())
    l += " TESSARIN_CRASH_DISK=" + Quote(hook.disk) + " TESSARIN_CRASH_DISK_COPY=" + Quote(hook.diskCopy);
  return l;
}

long long WritesCounted(const fs::path& counter) {
  const std::string text = ReadFileBytes(counter);
  return text.empty() ? 0 : std::atoll(text.c_str());
}

// tessarin --yes --save-dir SAVE TARGETS in the working folder work, its
// TMPDIR an empty folder of its own (the copies go to SAVE, never there);
// launcher goes before it (environment, a hook).
Output Restore(const fs::path& work, const fs::path& save, const std::string& targets,
               const std::string& launcher = {}) {
  const fs::path tmp = save.parent_path() / (save.filename().string() + ".tmpdir");
  fs::create_directories(tmp);
  // "; exit": the shell of the run itself waits for it, and reports a
  // restore killed in the run's error output, not in the test's.
  return Shell("cd " + Quote(work) + " && TMPDIR=" + Quote(tmp) + " " + launcher + " timeout -s KILL " +
               std::to_string(kRunSeconds) + " " + Quote(TESSARIN_PROGRAM) + " --yes --save-dir " + Quote(save) + " " +
               targets + "; exit $?");
}

void MakeSaveFolder(const fs::path& save) {
  fs::create_directories(save);
  fs::permissions(save, fs::perms::owner_all, fs::perm_options::replace);
}

// What a restore leaves for the next one to find: anything in the save
// folder and in the restore's own TMPDIR.
std::string LeftBehind(const fs::path& save) {
  std::string left = Entries(save);
  const std::string inTmp = Entries(save.parent_path() / (save.filename().string() + ".tmpdir"));
  if (!inTmp.empty()) left += " (in TMPDIR:" + inTmp + ")";
  return left;
}

// The save folder's QV folders.
std::vector<fs::path> SavedCopies(const fs::path& save) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(save, ec))
    if (e.path().filename().string().rfind("QV", 0) == 0) found.push_back(e.path());
  return found;
}

// The card with its project, the working folder with the installer
// archive, and the writes of a whole restore: made once for the program.
class Bench {
 public:
  static const Bench& Get() {
    static const Bench bench;
    return bench;
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  fs::path card;  // never restored itself: copied for every run
  fs::path work;  // wincesys.exe, CFDef.ini
  ProjectState project;
  std::vector<CardWrite> writes;
  std::string countingRun;  // what went wrong making the bench; empty when it is sound

  const fs::path& scratch() const { return scratch_.path(); }

  // A fresh card for one run, a copy of the bench's.
  void CopyCard(const fs::path& to) const { MustShell("cp --sparse=always " + Quote(card) + " " + Quote(to)); }

  // The writes of the steps whose name holds text, in order.
  std::vector<CardWrite> StepWrites(const std::string& text) const {
    std::vector<CardWrite> found;
    for (const CardWrite& w : writes)
      if (w.step.find(text) != std::string::npos) found.push_back(w);
    return found;
  }
  // The first write after the formatter's last: the card is formatted.
  long long FirstAfterFormatting() const {
    long long last = 0;
    for (const CardWrite& w : writes)
      if (w.program == "mkfs.fat") last = w.number;
    return last + 1;
  }
  long long FirstOfFormatting() const {
    for (const CardWrite& w : writes)
      if (w.program == "mkfs.fat") return w.number;
    return 0;
  }

 private:
  Bench() {
    card = scratch() / "card.img";
    work = scratch() / "work";
    fs::create_directories(work);
    MakeCard(card, {kCardMegabytes, std::nullopt, true});
    WriteTree(scratch() / "project", ProjectTree());
    PutOnCard(card, scratch() / "project", "Project");
    for (const auto& [flags, path] : kProjectAttributes)
      Mtools(card, "mattrib " + flags + " " + Quote("::/Project/" + path));
    project = ProjectOn(card, scratch());
    MakeInstaller(work / "wincesys.exe",
                  {{"BLDR", Noise(3000, 30)},
                   {"NK.BIN", Noise(40000, 31)},
                   {"Windows/shell.exe", Noise(5000, 32)},
                   {"Windows/panel.cfg", "Model=demo\n"}},
                  {"BLDR", "NK.BIN", "Windows/shell.exe", "Windows/panel.cfg"}, scratch());
    PutCardDefinitions(work);
    CountWrites();
  }

  // A whole restore of a copy of the card, counted: the log lines before
  // each write name its step.
  void CountWrites() {
    const fs::path run = scratch() / "counting";
    fs::create_directories(run);
    const fs::path counted = run / "card.img";
    CopyCard(counted);
    MakeSaveFolder(run / "save");
    Hook hook;
    hook.counter = run / "counter";
    hook.log = run / "writes";
    const fs::path out = run / "stdout";
    // Standard output goes to a file, so that the hook can tell how much
    // of the log was printed before each write.
    const Output r = Shell("cd " + Quote(work) + " && TMPDIR=" + Quote(run / "save") + " " +
                           HookLauncher(counted, hook) + " " + Quote(TESSARIN_PROGRAM) + " --yes --save-dir " +
                           Quote(run / "save") + " " + Quote(counted) + " >" + Quote(out));
    if (r.status != 0)
      countingRun = "the counted restore ended with status " + std::to_string(r.status) + ":\n" + r.err;
    const std::string log = ReadFileBytes(out);
    std::istringstream lines(ReadFileBytes(hook.log));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line);
      std::string word;
      CardWrite w;
      long long printed = -1;
      fields >> word >> w.number >> w.program >> w.offset >> w.length >> printed;
      if (word != "write") continue;
      std::string before = printed >= 0 ? log.substr(0, static_cast<std::size_t>(printed)) : std::string();
      while (!before.empty() && before.back() == '\n') before.pop_back();
      const std::size_t start = before.rfind('\n');
      std::string last = start == std::string::npos ? before : before.substr(start + 1);
      const std::size_t marker = last.find("::");
      if (marker != std::string::npos) last = last.substr(marker);
      if (last.rfind("::Info:: ", 0) == 0) last = last.substr(9);
      w.step = last.empty() ? "before the first log line" : last;
      if (w.program != "tessarin") w.step = w.program + " during " + w.step;
      writes.push_back(w);
    }
    if (writes.empty() && countingRun.empty()) countingRun = "the counted restore wrote nothing to the card";
  }

  Scratch scratch_;
};

// Consecutive writes of one step.
struct Step {
  std::string name;
  std::size_t first = 0;  // index into the writes
  std::size_t count = 0;
};

std::vector<Step> Steps(const std::vector<CardWrite>& writes) {
  std::vector<Step> steps;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (steps.empty() || steps.back().name != writes[i].step) steps.push_back({writes[i].step, i, 0});
    ++steps.back().count;
  }
  return steps;
}

// The writes to stop at: every write of a short step; of a long one the
// first, the last and others spread evenly between, more the longer it
// is.
std::vector<long long> KillPoints(const std::vector<CardWrite>& writes) {
  std::vector<long long> points;
  if (const char* chosen = std::getenv("TESSARIN_SWEEP_POINTS")) {
    std::istringstream list(chosen);
    for (std::string n; std::getline(list, n, ',');)
      if (!n.empty()) points.push_back(std::atoll(n.c_str()));
    return points;
  }
  for (const Step& s : Steps(writes)) {
    const std::size_t wanted =
        s.count <= 8 ? s.count : std::min<std::size_t>(s.count, 6 + static_cast<std::size_t>(2 * std::log2(s.count)));
    for (std::size_t k = 0; k < wanted; ++k) {
      const std::size_t index = s.first + (wanted == 1 ? 0 : k * (s.count - 1) / (wanted - 1));
      if (points.empty() || points.back() != writes[index].number) points.push_back(writes[index].number);
    }
  }
  return points;
}

const CardWrite* WriteNumbered(const std::vector<CardWrite>& writes, long long number) {
  for (const CardWrite& w : writes)
    if (w.number == number) return &w;
  return nullptr;
}

// One point of the sweep: the restore stopped at write `at`, then a plain
// restore. What went wrong; empty when the card came back whole.
std::string SweepPoint(const Bench& bench, const std::string& action, long long at, const fs::path& dir) {
  fs::create_directories(dir);
  const fs::path card = dir / "card.img";
  const fs::path save = dir / "save";
  bench.CopyCard(card);
  MakeSaveFolder(save);
  Hook hook;
  hook.action = action;
  hook.at = at;
  hook.counter = dir / "counter";
  std::string faults;
  const Output stopped = Restore(bench.work, save, Quote(card), HookLauncher(card, hook));
  const long long reached = WritesCounted(hook.counter);
  if (reached < at)
    return "the stopped restore made only " + std::to_string(reached) + " writes (status " +
           std::to_string(stopped.status) + "): the point was never reached\n" + LastLines(stopped.err);
  if (action == "eio" && (stopped.status == 0 || stopped.status == 137))
    faults += "the restore whose card failed ended with status " + std::to_string(stopped.status) + "\n";

  const Output next = Restore(bench.work, save, Quote(card));
  if (next.status != 0)
    faults += "the next restore ended with status " + std::to_string(next.status) + ":\n" + LastLines(next.err) +
              LastLines(next.out, 2);
  faults += Differences(bench.project, ProjectOn(card, dir));
  for (const std::string& f : FsckFindings(card)) faults += "fsck.fat: " + f + "\n";
  // A copy whose card never got its mark (the stop came at the mark's own
  // write) cannot be told from one whose card did: it stays, but the
  // next restore must name it.
  std::string unnamed;
  for (const fs::path& copy : SavedCopies(save))
    if ((next.out + next.err).find(copy.string()) == std::string::npos) unnamed += " " + copy.filename().string();
  const std::string inTmp = Entries(save.parent_path() / (save.filename().string() + ".tmpdir"));
  if (!unnamed.empty()) faults += "left in the save folder and not named:" + unnamed + "\n";
  if (!inTmp.empty()) faults += "left in TMPDIR:" + inTmp + "\n";
  if (faults.empty()) fs::remove_all(dir);
  return faults;
}

// Every point, two at a time; the faults reported by step.
void Sweep(const std::string& action) {
  const Bench& bench = Bench::Get();
  ASSERT_EQ(bench.countingRun, "");
  const std::vector<long long> points = KillPoints(bench.writes);
  ASSERT_FALSE(points.empty());
  {
    std::ostringstream steps;
    steps << "a restore writes " << bench.writes.size() << " times to the card:\n";
    for (const Step& s : Steps(bench.writes))
      steps << "  " << s.count << " writes (#" << bench.writes[s.first].number << " to #"
            << bench.writes[s.first + s.count - 1].number << ") " << s.name << "\n";
    std::cout << steps.str() << "stopping at " << points.size() << " of them (" << action << ")\n";
  }
  std::vector<std::string> faults(points.size());
  std::atomic<std::size_t> next{0};
  const fs::path dir = bench.scratch() / ("sweep-" + action);
  auto worker = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < points.size();) {
      try {
        faults[i] = SweepPoint(bench, action, points[i], dir / std::to_string(points[i]));
      } catch (const std::exception& e) {
        faults[i] = std::string("the sweep itself failed: ") + e.what() + "\n";
      }
    }
  };
  std::thread second(worker);
  worker();
  second.join();

  std::map<std::string, std::vector<std::size_t>> failedByStep;
  std::map<std::string, std::size_t> triedByStep;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const CardWrite* w = WriteNumbered(bench.writes, points[i]);
    const std::string step = w != nullptr ? w->step : "write beyond the counted restore";
    ++triedByStep[step];
    if (!faults[i].empty()) failedByStep[step].push_back(i);
  }
  for (const auto& [step, failed] : failedByStep) {
    std::ostringstream report;
    report << action << " in step \"" << step << "\": " << failed.size() << " of " << triedByStep[step]
           << " points failed\n";
    for (std::size_t i : failed) report << "--- write #" << points[i] << ":\n" << faults[i];
    ADD_FAILURE() << report.str();
  }
}

// The restore killed (SIGKILL to tessarin and to mkfs.fat while it runs)
// at each chosen write: the write never reaches the card.
TEST(CrashSweep, KilledAtAnyWrite) { Sweep("kill"); }

// The card pulled at each chosen write: that write and every later one
// fail with EIO; the restore ends with a failure, not a success.
TEST(CrashSweep, CardFailingFromAnyWrite) { Sweep("eio"); }

// A mounted file system, unmounted at the end of its scope.
class Mount {
 public:
  Mount(const std::string& device, const fs::path& at, const std::string& options) : at_(at) {
    fs::create_directories(at);
    const Output r = Shell("mount -o " + options + " " + Quote(device) + " " + Quote(at));
    if (r.status != 0) error_ = r.err.empty() ? "mount failed" : r.err;
  }
  ~Mount() {
    if (error_.empty()) Shell("umount " + Quote(at_));
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  const std::string& error() const { return error_; }

 private:
  fs::path at_;
  std::string error_;
};

// The PC loses its power while a restore runs: the save folder lies on an
// ext4 file system (an image on a loop device); the restore is killed, and
// at that instant the hook copies the file system's image as it is on its
// device: what the program flushed is there, what waits in the page cache
// is not. Then the next restore runs with the save folder on that copy: it
// puts the complete project back (exit 0), or leaves the card as the cut
// left it and names the copy (non-zero). Never a project of empty or
// missing files with exit 0.
TEST(PowerCut, TheNextRestoreNeverTrustsWhatWasNotOnTheDisk) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
  const Bench& bench = Bench::Get();
  ASSERT_EQ(bench.countingRun, "");
  const std::vector<CardWrite> copyBack = bench.StepWrites("Restoring Project Folder");
  struct Cut {
    const char* name;
    long long at;
  };
  const std::vector<Cut> cuts = {
      {"as formatting begins", bench.FirstOfFormatting()},
      {"once the card is formatted", bench.FirstAfterFormatting()},
      {"halfway through the copy back",
       copyBack.empty() ? bench.writes.back().number : copyBack[copyBack.size() / 2].number},
  };
  for (const Cut& c : cuts) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const fs::path disk = s / "pc.img";
    const fs::path snapshot = s / "pc-after-the-cut.img";
    const fs::path card = s / "card.img";
    bench.CopyCard(card);
    MustShell("truncate -s 64M " + Quote(disk) + " && mkfs.ext4 -q -F " + Quote(disk));
    std::string cardAfterCut;
    {
      const LoopDevice loop(disk);
      if (loop.device().empty()) GTEST_SKIP() << "no loop device for the PC's disk: " << loop.error();
      // No periodic journal commit while the restore runs: an fsync
      // commits the journal (every entry made so far, and the data of the
      // files flushed); the other files' data waits in the page cache.
      const Mount mount(loop.device(), s / "pc", "commit=300");
      if (!mount.error().empty()) GTEST_SKIP() << "cannot mount an ext4 image here: " << mount.error();
      const fs::path save = s / "pc" / "save";
      MakeSaveFolder(save);
      Hook hook;
      hook.action = "kill";
      hook.at = c.at;
      hook.counter = s / "counter";
      hook.disk = disk;
      hook.diskCopy = snapshot;
      Restore(bench.work, save, Quote(card), HookLauncher(card, hook));
      ASSERT_EQ(WritesCounted(hook.counter), c.at) << "the restore did not reach the point";
      ASSERT_TRUE(fs::exists(snapshot));
      cardAfterCut = FileHash(card);
      // How often the journal was committed: by the program's flushes, and
      // by anything on the machine that syncs every file system.
      std::cout << c.name << ": "
                << Shell("head -1 /proc/fs/jbd2/" + fs::path(loop.device()).filename().string() + "-*/info").out;
    }

    const LoopDevice loop(snapshot);
    ASSERT_FALSE(loop.device().empty()) << loop.error();
    const Mount mount(loop.device(), s / "restarted", "defaults");
    ASSERT_EQ(mount.error(), "");
    const fs::path save = s / "restarted" / "save";
    std::cout << c.name << ": the save folder after the cut:\n"
              << Shell("cd " + Quote(save) + " && find . -printf '  %M %s %p\\n' | sort -k3").out;
    const Output next = Restore(bench.work, save, Quote(card));
    if (next.status == 0) {
      const std::string differences = Differences(bench.project, ProjectOn(card, s.path()));
      EXPECT_TRUE(differences.empty()) << "restored with exit 0, but the project is not the card's:\n"
                                       << differences << next.err;
      EXPECT_EQ(FsckFindings(card), std::vector<std::string>{});
      // A copy the cut spoiled may stay, named.
      for (const fs::path& left : SavedCopies(save))
        EXPECT_NE((next.err + next.out).find(left.string()), std::string::npos) << left << " left unnamed";
    } else {
      EXPECT_EQ(FileHash(card), cardAfterCut) << "a restore that did not finish changed the card:\n" << next.err;
      EXPECT_NE((next.err + next.out).find(save.string() + "/QV"), std::string::npos)
          << "the saved copy is not named:\n"
          << next.err << next.out;
    }
  }
}

// ---------------------------------------------------------------------
// The table: each case's setup beside what must hold after it.

// One case's bench: a card of its own (a copy of the bench's card), the
// save folder, and what the setup leaves for the expectation.
struct RowBench {
  Scratch s;
  fs::path card;
  fs::path save;
  std::map<std::string, fs::path> paths;
  std::map<std::string, std::string> notes;
  RowBench() : card(s / "card.img"), save(s / "save") {
    Bench::Get().CopyCard(card);
    MakeSaveFolder(save);
  }
};

// The card holds the bench's project, as it was.
void ExpectTheProject(const fs::path& card, const fs::path& scratch) {
  const std::string differences = Differences(Bench::Get().project, ProjectOn(card, scratch));
  EXPECT_TRUE(differences.empty()) << differences;
}

struct Row {
  const char* name;
  std::function<void(RowBench&)> setup;
  std::function<void(RowBench&)> expect;
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

// A restore killed at write `at`, with the hook.
Output Killed(RowBench& c, const fs::path& card, long long at) {
  Hook hook;
  hook.action = "kill";
  hook.at = at;
  hook.counter = c.s / ("counter-" + card.filename().string());
  const Output r = Restore(Bench::Get().work, c.save, Quote(card), HookLauncher(card, hook));
  EXPECT_EQ(WritesCounted(hook.counter), at) << "the killed restore did not reach write " << at << ":\n" << r.err;
  return r;
}

// Patches the long name of a card entry in place, a name mtools would
// never write: the placeholder's long-name slots, found as UTF-16 in the
// volume's directory entries, get the name's characters (as many). The
// short name and so the long name's checksum stay as they are.
void PatchLongName(const fs::path& card, const std::string& placeholder, const std::string& name) {
  ASSERT_EQ(placeholder.size(), name.size());
  ASSERT_LE(name.size(), 26u);  // two long-name entries
  const std::string bytes = ReadFileBytes(card);
  std::fstream image(card, std::ios::in | std::ios::out | std::ios::binary);
  // Character slots of a long-name entry: 5 at 1, 6 at 14, 2 at 28.
  const std::size_t kSlots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  auto chars = [&](std::size_t entry) {
    std::string text;
    for (std::size_t slot : kSlots) {
      const char lo = bytes[entry + slot], hi = bytes[entry + slot + 1];
      if (hi != 0 || lo == 0) break;
      text += lo;
    }
    return text;
  };
  int patched = 0;
  const std::size_t volumeStart = static_cast<std::size_t>(kPartitionStart) * 512;
  for (std::size_t at = volumeStart + 32; at + 32 <= bytes.size(); at += 32) {
    // The first part of the name (order 1) follows the last (order 0x42).
    if (bytes[at + 11] != 0x0F || bytes[at] != 0x01 || bytes[at - 32 + 11] != 0x0F ||
        static_cast<unsigned char>(bytes[at - 32]) != 0x42)
      continue;
    if (chars(at) != placeholder.substr(0, 13) || chars(at - 32) != placeholder.substr(13)) continue;
    for (std::size_t i = 0; i < name.size(); ++i) {
      const std::size_t entry = i < 13 ? at : at - 32;
      image.seekp(static_cast<std::streamoff>(entry + kSlots[i % 13]));
      image.put(name[i]);
    }
    ++patched;
  }
  ASSERT_EQ(patched, 1) << "the placeholder's entries were not found once";
}

// Clone B of the case's card A: the same bytes, so the same MBR signature
// and partition extent.
fs::path MakeClone(RowBench& c) {
  const fs::path b = c.s / "clone-b.img";
  c.paths["b"] = b;
  Bench::Get().CopyCard(b);
  return b;
}

// A's restore killed once A is formatted, then B restored, then A.
void RestoreClonesInTurn(RowBench& c) {
  const fs::path& b = c.paths["b"];
  c.notes["b project"] = ::testing::PrintToString(Digest(CardTree(b, "Project", c.s.path())));
  Killed(c, c.card, Bench::Get().FirstAfterFormatting());
  const Output onB = Restore(Bench::Get().work, c.save, Quote(b));
  c.notes["b err"] = onB.err;
  c.notes["b card"] = ::testing::PrintToString(Digest(CardTree(b, "Project", c.s.path())));
  c.notes["copies after b"] = std::to_string(SavedCopies(c.save).size());
  const Output onA = Restore(Bench::Get().work, c.save, Quote(c.card));
  c.notes["a status"] = std::to_string(onA.status);
  c.notes["a err"] = onA.err;
}

// B keeps its own project (or has none), never A's; A's copy waits for A,
// whose next restore puts it back.
void ExpectClonesKeptApart(RowBench& c) {
  const std::string none = ::testing::PrintToString(std::map<std::string, std::string>{});
  EXPECT_TRUE(c.notes["b card"] == c.notes["b project"] || c.notes["b card"] == none)
      << "B got another project than its own: " << c.notes["b card"] << "\n"
      << c.notes["b err"];
  EXPECT_EQ(c.notes["copies after b"], "1") << "A's copy must wait for A";
  EXPECT_EQ(c.notes["a status"], "0") << c.notes["a err"];
  ExpectTheProject(c.card, c.s.path());
  EXPECT_EQ(LeftBehind(c.save), "");
}

// The copy a restore of the case's card leaves when it is killed once the
// card is formatted.
fs::path PlantedCopy(RowBench& c) {
  Killed(c, c.card, Bench::Get().FirstAfterFormatting());
  const std::vector<fs::path> copies = SavedCopies(c.save);
  EXPECT_EQ(copies.size(), 1u);
  c.paths["planted"] = copies.empty() ? c.save / "QV-missing" : copies[0];
  return c.paths["planted"];
}

// The next restore never puts the planted copy on the card (formatted, so
// its project is gone), leaves it where it is and names it.
void ExpectPlantedCopyIgnored(RowBench& c) {
  const Output run = Restore(Bench::Get().work, c.save, Quote(c.card));
  EXPECT_FALSE(ProjectOn(c.card, c.s.path()).present) << "a copy that cannot be trusted went onto the card";
  EXPECT_TRUE(fs::exists(fs::symlink_status(c.paths["planted"]))) << "the folder was removed";
  EXPECT_NE((run.out + run.err).find(c.paths["planted"].string()), std::string::npos)
      << "the folder ignored is not named:\n"
      << run.out << run.err;
}

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"CardNameLeadingOutOfTheSaveFolder",
       // A file of the card's Project folder named ../../../../tmp/x, as a
       // card from the field may hold: joined below the saved copy, the
       // name leads out of it. The save folder lies deep in this case's
       // folder, with a "tmp" folder at every level above it for the name
       // to land in.
       [](RowBench& c) {
         const fs::path deep = c.s / "up1" / "up2" / "up3";
         for (fs::path level = deep; level != c.s.path().parent_path(); level = level.parent_path())
           fs::create_directories(level / "tmp");
         MakeSaveFolder(deep / "save");
         c.paths["save"] = deep / "save";
         c.notes["outside before"] = Shell("ls -d /tmp/x /tmp/tmp/x 2>/dev/null").out;
         WriteTree(c.s / "extra", {{"placeholder_name1", "written outside"}});
         Mtools(c.card, "mcopy " + Quote(c.s / "extra" / "placeholder_name1") + " ::/Project/");
         PatchLongName(c.card, "placeholder_name1", "../../../../tmp/x");
         c.notes["before"] = FileHash(c.card);
         const Output run = Restore(Bench::Get().work, c.paths["save"], Quote(c.card));
         c.notes["status"] = std::to_string(run.status);
         c.notes["err"] = run.err;
       },
       [](RowBench& c) {
         EXPECT_EQ(c.notes["status"], "2") << c.notes["err"];
         EXPECT_NE(c.notes["err"].find("../../../../tmp/x"), std::string::npos) << "the entry is not named";
         EXPECT_EQ(FileHash(c.card), c.notes["before"]);
         EXPECT_EQ(LeftBehind(c.paths["save"]), "");
         EXPECT_EQ(Shell("find " + Quote(c.s.path()) + " -name x").out, "") << "written outside the saved copy";
         EXPECT_EQ(Shell("ls -d /tmp/x /tmp/tmp/x 2>/dev/null").out, c.notes["outside before"]);
       }},
      {"TwoClonesOfOneCard",
       // B is a copy of A (the same MBR signature and partition extent)
       // whose project changed since.
       [](RowBench& c) {
         const fs::path b = MakeClone(c);
         WriteTree(c.s / "b-only", {{"clone B.txt", "only on the clone"}});
         Mtools(b, "mcopy " + Quote(c.s / "b-only" / "clone B.txt") + " ::/Project/");
         Mtools(b, "mdel ::/Project/readme.txt");
         RestoreClonesInTurn(c);
       },
       ExpectClonesKeptApart},
      {"TwoClonesTheOtherWithoutProject",
       // The same, but B's Project folder was deleted: nothing of B's own
       // stands in the way of A's copy.
       [](RowBench& c) {
         const fs::path b = MakeClone(c);
         Mtools(b, "mattrib -/ -r -h -s ::/Project");
         Mtools(b, "mdeltree ::/Project");
         RestoreClonesInTurn(c);
       },
       ExpectClonesKeptApart},
      // Copies of this card made by a real restore (killed once the card was
      // formatted), then made untrustworthy: they name this card and its
      // mark, but anyone could have put them there or changed them since.
      {"CopyOfAnotherUser", [](RowBench& c) { MustShell("chown -R 65534:65534 " + Quote(PlantedCopy(c))); },
       ExpectPlantedCopyIgnored},
      {"CopyWritableByAll",
       [](RowBench& c) {
         fs::permissions(PlantedCopy(c), fs::perms::others_write | fs::perms::others_exec, fs::perm_options::add);
       },
       ExpectPlantedCopyIgnored},
      {"CopyWritableByTheGroup",
       [](RowBench& c) {
         fs::permissions(PlantedCopy(c), fs::perms::group_write | fs::perms::group_exec, fs::perm_options::add);
       },
       ExpectPlantedCopyIgnored},
      {"CopyBehindASymbolicLink",
       // The save folder's QV entry is a link to the real copy, moved
       // elsewhere.
       [](RowBench& c) {
         const fs::path copy = PlantedCopy(c);
         fs::create_directories(c.s / "elsewhere");
         fs::rename(copy, c.s / "elsewhere" / copy.filename());
         fs::create_directory_symlink(c.s / "elsewhere" / copy.filename(), copy);
       },
       ExpectPlantedCopyIgnored},
      {"CopyRemovedWhileTheInstallerRuns",
       // The restore waits at the installer's first write while the saved
       // copy is deleted.
       [](RowBench& c) {
         const std::vector<CardWrite> installing = Bench::Get().StepWrites("Installing Firmware");
         ASSERT_FALSE(installing.empty());
         Hook hook;
         hook.action = "pause";
         hook.at = installing.front().number;
         hook.counter = c.s / "counter";
         hook.paused = c.s / "paused";
         hook.go = c.s / "go";
         Output run;
         std::thread restore(
             [&] { run = Restore(Bench::Get().work, c.save, Quote(c.card), HookLauncher(c.card, hook)); });
         const bool paused = WaitUntil([&] { return fs::exists(hook.paused); });
         const std::vector<fs::path> copies = SavedCopies(c.save);
         for (const fs::path& copy : copies) fs::remove_all(copy);
         WriteFileBytes(hook.go, "");
         restore.join();
         ASSERT_TRUE(paused) << "the restore never reached the installer's first write:\n" << run.err;
         ASSERT_EQ(copies.size(), 1u);
         c.paths["removed"] = copies[0];
         c.notes["status"] = std::to_string(run.status);
         c.notes["out"] = run.out;
         c.notes["err"] = run.err;
       },
       [](RowBench& c) {
         EXPECT_EQ(c.notes["status"], "4") << c.notes["err"];
         EXPECT_EQ(c.notes["err"].find(kSuccessText), std::string::npos) << c.notes["err"];
         EXPECT_EQ(c.notes["out"].find(kSuccessLine), std::string::npos) << c.notes["out"];
         EXPECT_NE(c.notes["err"].find(c.paths["removed"].string()), std::string::npos)
             << "the vanished copy is not named:\n"
             << c.notes["err"];
       }},
      {"FormatterThatDoesNothing",
       // A mkfs.fat first on PATH that changes nothing and says it did.
       [](RowBench& c) {
         fs::create_directories(c.s / "bin");
         StandInTool(c.s / "bin", "mkfs.fat", "exit 0");
         const Output run = Restore(Bench::Get().work, c.save, Quote(c.card), "PATH=" + Quote(c.s / "bin") + ":$PATH");
         c.notes["status"] = std::to_string(run.status);
         c.notes["err"] = run.err;
       },
       [](RowBench& c) {
         EXPECT_EQ(c.notes["status"], "1") << c.notes["err"];
         // The project is not lost: the next restore with the real
         // formatter puts it back.
         const Output next = Restore(Bench::Get().work, c.save, Quote(c.card));
         EXPECT_EQ(next.status, 0) << next.err;
         ExpectTheProject(c.card, c.s.path());
         EXPECT_EQ(FsckFindings(c.card), std::vector<std::string>{});
         EXPECT_EQ(LeftBehind(c.save), "");
       }},
      {"FourCardsTwentyTimes",
       // Four cards, each with a project of its own, restored by one
       // command, twenty times in a row.
       [](RowBench& c) {
         for (const char* name : {"a.img", "b.img", "c.img", "d.img"}) {
           const fs::path card = c.s / name;
           MakeCard(card, {kCardMegabytes, std::nullopt, true});
           const fs::path project = c.s / (std::string(name) + ".project");
           Tree tree = {{"card.txt", std::string("the project of ") + name},
                        {"Screens/start.bmp", Noise(3000 + 1000 * static_cast<std::size_t>(name[0] - 'a'), name[0])},
                        {"A long name of " + std::string(name) + ".txt", Noise(700, name[0] + 1)}};
           WriteTree(project, tree);
           PutOnCard(card, project, "Project");
           c.paths[name] = card;
           c.notes[name] = ::testing::PrintToString(Digest(ReadTree(project)));
         }
       },
       [](RowBench& c) {
         for (int round = 1; round <= 20; ++round) {
           SCOPED_TRACE("round " + std::to_string(round));
           const Output run = Restore(Bench::Get().work, c.save,
                                      Quote(c.paths["a.img"]) + " " + Quote(c.paths["b.img"]) + " " +
                                          Quote(c.paths["c.img"]) + " " + Quote(c.paths["d.img"]));
           ASSERT_EQ(run.status, 0) << run.err << run.out;
           for (const char* name : {"a.img", "b.img", "c.img", "d.img"}) {
             ASSERT_EQ(::testing::PrintToString(Digest(CardTree(c.paths[name], "Project", c.s.path()))), c.notes[name])
                 << name;
           }
           ASSERT_EQ(LeftBehind(c.save), "");
         }
       }},
  };
  return rows;
}

class CrashTable : public ::testing::TestWithParam<Row> {};

TEST_P(CrashTable, Case) {
  ASSERT_EQ(Bench::Get().countingRun, "");
  RowBench c;
  GetParam().setup(c);
  if (HasFatalFailure() || IsSkipped()) return;
  GetParam().expect(c);
}

INSTANTIATE_TEST_SUITE_P(Rows, CrashTable, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
