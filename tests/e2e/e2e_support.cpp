#include "e2e_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

#include "card/file_port.h"
#include "fat/fat_names.h"
#include "lx/card/card_fat.h"
#include "lx/card/target_resolve.h"

namespace e2e {
namespace {

std::string PartitionArgument(const fs::path& image) {
  return Quote(image.string() + "@@" + std::to_string(std::uint64_t{kPartitionStart} * 512));
}

}  // namespace

std::string Quote(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Output Shell(const std::string& command) {
  char outName[] = "/tmp/e2e-out-XXXXXX";
  char errName[] = "/tmp/e2e-err-XXXXXX";
  const int o = mkstemp(outName);
  const int e = mkstemp(errName);
  close(o);
  close(e);
  const std::string full = "( " + command + " ) </dev/null >" + outName + " 2>" + errName;
  const int rc = std::system(("bash -c " + Quote(full)).c_str());
  Output r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = ReadFileBytes(outName);
  r.err = ReadFileBytes(errName);
  unlink(outName);
  unlink(errName);
  return r;
}

std::string MustShell(const std::string& command) {
  const Output r = Shell(command);
  EXPECT_EQ(r.status, 0) << command << "\n" << r.err;
  return r.out;
}

Scratch::Scratch() {
  char pattern[] = "/tmp/tessarin-e2e-XXXXXX";
  path_ = mkdtemp(pattern);
}

Scratch::~Scratch() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

void MakeCard(const fs::path& image, const CardShape& shape) {
  const std::uint64_t sectors = shape.megabytes * 2048;
  MustShell("truncate -s " + std::to_string(shape.megabytes) + "M " + Quote(image) +
            " && echo 'start=" + std::to_string(kPartitionStart) + ", type=c' | sfdisk --quiet " + Quote(image));
  if (!shape.format) return;
  std::string cmd =
      "mkfs.fat -F 32 -h " + std::to_string(kPartitionStart) + " --offset=" + std::to_string(kPartitionStart);
  if (shape.geometry) cmd += " -g " + *shape.geometry;
  cmd += " " + Quote(image) + " " + std::to_string((sectors - kPartitionStart) / 2);
  MustShell(cmd + " >/dev/null");
}

std::string Mtools(const fs::path& image, const std::string& command) {
  // The command names the card's files as ::/path; -i is put in after the
  // tool's name.
  const std::size_t space = command.find(' ');
  return MustShell("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 " + command.substr(0, space) + " -i " +
                   PartitionArgument(image) + command.substr(space));
}

void WriteCardFile(const fs::path& image, const std::string& path, const std::string& contents) {
  using namespace tessarin::linux_port;
  std::string error;
  const auto target = ResolveCardTarget(image.string(), error);
  ASSERT_TRUE(target) << error;
  CardSession session = CardFat(*target, 'e').Open(true);
  ASSERT_TRUE(session.volume) << session.why;
  TextSource source(contents);
  ASSERT_TRUE(session.volume->WriteFile(path, source).ok()) << path;
  ASSERT_TRUE(session.volume->Flush().ok());
}

void SpoilVolume(const fs::path& image) {
  MustShell("for at in 0 3072; do printf 'another file system' | dd of=" + Quote(image) + " bs=1 seek=$((" +
            std::to_string(std::uint64_t{kPartitionStart} * 512) + " + at)) conv=notrunc status=none; done");
}

void BreakChain(const fs::path& image, const std::string& path) {
  using namespace tessarin::linux_port;
  std::string error;
  const auto target = ResolveCardTarget(image.string(), error);
  ASSERT_TRUE(target) << error;
  std::uint64_t cluster = 0;
  {
    CardSession session = CardFat(*target, 'e').Open(false);
    ASSERT_TRUE(session.volume) << session.why;
    const auto found = session.volume->Find(path);
    ASSERT_TRUE(found.ok()) << path;
    cluster = found.value.firstCluster;
  }
  const auto boot = ReadBytes(image, target->VolumeOffset(), 512);
  const std::uint64_t reserved = boot[14] | boot[15] << 8;
  const std::uint64_t fatSectors = boot[36] | boot[37] << 8 | boot[38] << 16 | std::uint64_t{boot[39]} << 24;
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  for (std::uint64_t fat = 0; fat < boot[16]; ++fat) {
    f.seekp(static_cast<std::streamoff>(target->VolumeOffset() + (reserved + fat * fatSectors) * 512 + cluster * 4));
    f.write("\0\0\0\0", 4);
  }
  ASSERT_TRUE(f.flush());
}

void PutCardDefinitions(const fs::path& folder) { fs::copy_file(TESSARIN_CFDEF_SAMPLE, folder / kDefinitionsFileName); }

void PutOnCard(const fs::path& image, const fs::path& folder, const std::string& name) {
  Mtools(image, "mmd ::/" + name);
  for (const auto& e : fs::directory_iterator(folder))
    Mtools(image, "mcopy -s " + Quote(e.path()) + " ::/" + name + "/");
}

Tree CardTree(const fs::path& image, const std::string& folder, const fs::path& scratch) {
  const fs::path out = scratch / ("card-tree-" + std::to_string(std::rand()));
  fs::create_directories(out);
  const Output r = Shell("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mcopy -s -i " + PartitionArgument(image) + " ::/" +
                         folder + "/'*' " + Quote(out));
  Tree tree = r.status == 0 ? ReadTree(out) : Tree{};
  fs::remove_all(out);
  return tree;
}

std::map<std::string, std::string> Digest(const Tree& tree) {
  std::map<std::string, std::string> digest;
  for (const auto& [path, content] : tree)
    digest[path] = std::to_string(content.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(content));
  return digest;
}

std::vector<std::uint8_t> ReadBytes(const fs::path& file, std::uint64_t offset, std::size_t length) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> bytes(length);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return bytes;
}

std::string FileHash(const fs::path& file) { return MustShell("sha256sum < " + Quote(file)); }

void MakeInstaller(const fs::path& archive, const Tree& tree, const std::vector<std::string>& order,
                   const fs::path& scratch) {
  const fs::path content = scratch / ("installer-" + archive.filename().string());
  fs::remove_all(content);
  WriteTree(content, tree);
  std::string names;
  for (const std::string& n : order) names += " " + Quote(n);
  MustShell(std::string(TESSARIN_MAKE_SFX) + " " + Quote(TESSARIN_SFX_STUB) + " " + Quote(archive) + " " +
            Quote(content) + names);
}

Output RunTessarin(const fs::path& workDir, const fs::path& tmpDir, const std::string& args,
                   const std::string& launcher) {
  return Shell("cd " + Quote(workDir) + " && TMPDIR=" + Quote(tmpDir) + " " + launcher + " " + Quote(TESSARIN_PROGRAM) +
               " " + args);
}

void WrapTool(const fs::path& folder, const std::string& tool, const std::string& before, const std::string& after) {
  std::string real = MustShell("command -v " + Quote(tool));
  while (!real.empty() && real.back() == '\n') real.pop_back();
  ASSERT_FALSE(real.empty()) << tool;
  fs::create_directories(folder);
  const fs::path script = folder / tool;
  std::ofstream(script) << "#!/bin/bash\n"
                        << before << "\n"
                        << Quote(real) << " \"$@\"\n"
                        << "rc=$?\n"
                        << after << "\n"
                        << "exit $rc\n";
  fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitDeadline;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string ShellWaitUntil(const std::string& condition) {
  return "{ waitEnd=$((SECONDS + " + std::to_string(kWaitDeadline.count()) + ")); until " + condition +
         "; do if [ $SECONDS -ge $waitEnd ]; then echo " + Quote("gave up waiting for: " + condition) +
         " >&2; break; fi; sleep 0.02; done; }";
}

std::string SignalProgram(const std::string& signal, const std::string& line) {
  return "kill -" + signal + " $PPID; " + ShellWaitUntil("grep -qF " + Quote(line) + " /proc/$PPID/fd/2");
}

std::string HoldCommand() { return "tail --pid=" + std::to_string(getpid()) + " -f /dev/null"; }

Holder::Holder(const fs::path& folder, const std::string& command, const std::string& ready) {
  // Job control gives the holder a process group of its own, so that
  // whatever it started goes with it.
  pid_ = MustShell("cd " + Quote(folder) + " && set -m && { (" + command + ") </dev/null >/dev/null 2>&1 & echo $!; }");
  while (!pid_.empty() && pid_.back() == '\n') pid_.pop_back();
  EXPECT_TRUE(WaitUntil([&] { return Shell("pid=" + pid_ + "; " + ready).status == 0; }))
      << "the holder never got ready: " << ready;
}

Holder::~Holder() {
  if (!pid_.empty()) Shell("kill -- -" + pid_ + " 2>/dev/null");
}

void StandInTool(const fs::path& folder, const std::string& tool, const std::string& body) {
  WriteFileBytes(folder / tool, "#!/bin/sh\n" + body + "\n");
  fs::permissions(folder / tool, fs::perms::owner_all);
}

std::string AsUnprivilegedUser(const fs::path& tree) {
  if (geteuid() != 0) return {};
  MustShell("chown -R 65534:65534 " + Quote(tree) + " && chmod 0755 " + Quote(tree));
  return "setpriv --reuid=65534 --regid=65534 --clear-groups";
}

std::vector<std::string> LogMessages(const std::string& stdoutText) {
  std::vector<std::string> messages;
  std::istringstream lines(stdoutText);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find("::");
    messages.push_back(at == std::string::npos ? line : line.substr(at));
  }
  return messages;
}

std::string FsckFindings(const fs::path& image, const fs::path& scratch) {
  const fs::path part = scratch / "fsck-partition.img";
  MustShell("dd if=" + Quote(image) + " of=" + Quote(part) + " bs=512 skip=" + std::to_string(kPartitionStart) +
            " 2>/dev/null");
  const Output r = Shell("fsck.fat -n " + Quote(part) + " 2>&1");
  fs::remove(part);
  std::string findings;
  bool inBackupRemark = false;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("There are differences between boot sector and its backup.", 0) == 0) {
      inBackupRemark = true;
      continue;
    }
    if (inBackupRemark) {
      inBackupRemark = line.rfind("  Not automatically fixing this.", 0) != 0;
      continue;
    }
    if (line.rfind("fsck.fat ", 0) == 0 || line.rfind("There is no label in boot sector", 0) == 0 ||
        line.rfind("  Auto-copying volume label", 0) == 0 || line.empty() || line == "Leaving filesystem unchanged." ||
        line.rfind(part.string() + ": ", 0) == 0)
      continue;
    findings += line + "\n";
  }
  return findings;
}

std::string Attributes(const fs::path& image, const std::string& path) {
  const std::string line = Mtools(image, "mattrib " + path);
  const std::size_t colon = line.find("::");
  std::string letters;
  for (char c : line.substr(0, colon))
    if (c != ' ') letters += c;
  return letters;
}

std::vector<EntryAttributes> ParseAttributeListing(const std::string& listing) {
  // "  A  SHR     ::/Project/file": the letters in fixed columns (archive,
  // system, hidden, read-only), the path from column 13.
  constexpr std::size_t kPathColumn = 13;
  std::vector<EntryAttributes> entries;
  std::istringstream lines(listing);
  std::string root;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() <= kPathColumn) continue;
    const std::string path = line.substr(kPathColumn);
    if (root.empty()) {
      root = path;  // the folder listed comes first
      continue;
    }
    if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') continue;
    EntryAttributes e;
    e.path = path.substr(root.size() + 1);
    if (line[2] == 'A') e.attributes |= tessarin::kAttrArchive;
    if (line[5] == 'S') e.attributes |= tessarin::kAttrSystem;
    if (line[6] == 'H') e.attributes |= tessarin::kAttrHidden;
    if (line[7] == 'R') e.attributes |= tessarin::kAttrReadOnly;
    entries.push_back(std::move(e));
  }
  return entries;
}

bool Listed::operator<(const Listed& o) const {
  return std::tie(folder, shortName, longName) < std::tie(o.folder, o.shortName, o.longName);
}
bool Listed::operator==(const Listed& o) const {
  return std::tie(folder, shortName, longName) == std::tie(o.folder, o.shortName, o.longName);
}
std::ostream& operator<<(std::ostream& os, const Listed& l) {
  return os << "[" << l.folder << "] " << l.shortName << " | " << l.longName;
}

std::string CardVolume(const fs::path& card) {
  return card.string() + "@@" + std::to_string(std::uint64_t{kPartitionStart} * 512);
}

std::set<Listed> MdirListing(const std::string& volume, const std::string& folder) {
  const std::string listing =
      MustShell("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mdir -/ -a -i " + Quote(volume) + " " + Quote("::/" + folder));
  auto trim = [](const std::string& t) {
    const std::size_t b = t.find_first_not_of(' ');
    return b == std::string::npos ? std::string() : t.substr(b, t.find_last_not_of(' ') - b + 1);
  };
  const std::string top = "::/" + folder;
  std::set<Listed> entries;
  std::istringstream lines(listing);
  std::string current;
  bool inFolder = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Directory for ::/", 0) == 0) {
      const std::string dir = line.substr(14);
      current = dir.size() > top.size() ? dir.substr(top.size() + (top.back() == '/' ? 0 : 1)) : std::string();
      inFolder = true;
      continue;
    }
    if (line.rfind("Total files listed", 0) == 0) inFolder = false;
    if (!inFolder || line.empty() || line[0] == ' ') continue;
    // Columns count characters; short names are single UTF-16 units.
    const auto wide = tessarin::fat::Utf8ToUtf16(line);
    if (!wide || wide->size() < 13 || (*wide)[8] != u' ') continue;
    const std::string name = trim(tessarin::fat::Utf16ToUtf8(wide->substr(0, 8)));
    const std::string ext = trim(tessarin::fat::Utf16ToUtf8(wide->substr(9, 3)));
    if (ext.empty() && (name == "." || name == "..")) continue;
    const std::string rest = tessarin::fat::Utf16ToUtf8(wide->substr(12));
    std::istringstream fields(rest);
    std::string size, date, time;
    fields >> size >> date >> time;
    const std::size_t afterTime = rest.find(time, rest.find(date) + date.size()) + time.size();
    Listed l{current, ext.empty() ? name : name + "." + ext, ""};
    if (afterTime + 2 < rest.size()) l.longName = rest.substr(afterTime + 2);
    entries.insert(l);
  }
  return entries;
}

std::vector<std::string> FsckFindings(const fs::path& card) {
  const fs::path part = card.string() + ".partition";
  MustShell("dd if=" + Quote(card) + " of=" + Quote(part) +
            " bs=1M skip=" + std::to_string(std::uint64_t{kPartitionStart} * 512 >> 20) + " conv=sparse status=none");
  const Output r = Shell("fsck.fat -n " + Quote(part));
  fs::remove(part);
  std::vector<std::string> findings;
  if (r.status != 0 && r.status != 1) findings.push_back("fsck.fat failed with status " + std::to_string(r.status));
  std::istringstream lines(r.out + r.err);
  bool known = false;  // the lines indented below a known remark belong to it
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  ", 0) == 0 && known) continue;
    known = line.rfind("There are differences between boot sector and its backup.", 0) == 0 ||
            line.rfind("This is mostly harmless. Differences:", 0) == 0 ||
            (line.find("label") != std::string::npos && line.find("boot sector") != std::string::npos);
    if (known || line.empty() || line.rfind("fsck.fat ", 0) == 0 || line == "Leaving filesystem unchanged." ||
        line.rfind(part.string() + ": ", 0) == 0)
      continue;
    findings.push_back(line);
  }
  return findings;
}

std::string BootCard(const fs::path& image) {
  if (Shell("command -v qemu-system-i386").status != 0) return {};
  const fs::path console = image.string() + ".debugcon";
  // The payloads end the emulator themselves; the deadline only ends one
  // that hangs.
  const Output boot =
      Shell("timeout " + std::to_string(kWaitDeadline.count()) + " qemu-system-i386 -drive file=" + Quote(image) +
            ",format=raw,if=ide -display none -no-reboot -m 32 -debugcon file:" + Quote(console) +
            " -device isa-debug-exit,iobase=0xf4,iosize=0x01; cat " + Quote(console));
  fs::remove(console);
  return boot.out;
}

std::string JsonQuery(const std::string& text, const std::string& expression) {
  char name[] = "/tmp/e2e-json-XXXXXX";
  const int fd = mkstemp(name);
  close(fd);
  WriteFileBytes(name, text);
  const std::string script =
      "import json, sys\n"
      "def no_constant(c): raise ValueError('not JSON: ' + c)\n"
      "objs = [json.loads(l, parse_constant=no_constant) for l in open(sys.argv[1], encoding='utf-8', "
      "errors='strict').read().splitlines()]\n"
      "print((" +
      expression + "))\n";
  const Output r = Shell("python3 -c " + Quote(script) + " " + Quote(name));
  unlink(name);
  EXPECT_EQ(r.status, 0) << "not JSON lines:\n" << text << "\n" << r.err;
  std::string out = r.out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

FakeSysfs::FakeSysfs(const fs::path& root) : root_(root) {
  for (const char* dir : {"dev/block", "block", "class/block"}) fs::create_directories(root / dir);
}

fs::path FakeSysfs::Add(const fs::path& dir, dev_t dev) {
  fs::create_directories(dir / "holders");
  const std::string num = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  WriteFileBytes(dir / "dev", num + "\n");
  fs::create_directory_symlink(dir, root_ / "dev" / "block" / num);
  fs::create_directory_symlink(dir, root_ / "class" / "block" / dir.filename());
  return dir;
}

fs::path FakeSysfs::Disk(const std::string& name, dev_t dev, const std::string& deviceFolder) {
  const fs::path device = root_ / "devices" / deviceFolder;
  const fs::path dir = Add(device / "block" / name, dev);
  fs::create_directory_symlink(device, dir / "device");
  fs::create_directory_symlink(dir, root_ / "block" / name);
  return dir;
}

fs::path FakeSysfs::Partition(const fs::path& disk, const std::string& name, dev_t dev) {
  const fs::path p = Add(disk / name, dev);
  Set(p, "partition", "1");
  return p;
}

fs::path FakeSysfs::Mapped(const std::string& name, dev_t dev, const fs::path& slave) {
  const fs::path p = Add(root_ / "devices" / "virtual" / "block" / name, dev);
  fs::create_directory_symlink(p, root_ / "block" / name);
  fs::create_directories(p / "slaves");
  fs::create_directory_symlink(slave, p / "slaves" / slave.filename());
  fs::create_directory_symlink(p, slave / "holders" / name);
  return p;
}

void FakeSysfs::Set(const fs::path& dir, const std::string& file, const std::string& value) {
  WriteFileBytes(dir / file, value + "\n");
}

namespace {

// The machine-wide loop lock: an flock on a fixed file, taken by the first
// LoopDevice of this process and given back by its last (flock does not
// nest across descriptors of one process).
std::mutex loopLockMutex;
int loopLockCount = 0;
int loopLockFd = -1;

void TakeLoopLock() {
  const std::lock_guard<std::mutex> guard(loopLockMutex);
  if (loopLockCount++ > 0) return;
  loopLockFd = open("/tmp/tessarin-e2e-loop-devices.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (loopLockFd >= 0) {
    while (flock(loopLockFd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

void GiveBackLoopLock() {
  const std::lock_guard<std::mutex> guard(loopLockMutex);
  if (--loopLockCount > 0) return;
  if (loopLockFd >= 0) close(loopLockFd);
  loopLockFd = -1;
}

void DetachByBackingFile(const fs::path& image) {
  Shell("losetup --list --noheadings --output NAME --associated " + Quote(image) +
        " | while read -r d; do losetup -d \"$d\"; done");
}

}  // namespace

LoopDevice::LoopDevice(const fs::path& image, bool readOnly) : image_(image) {
  TakeLoopLock();
  const Output attach =
      Shell(std::string("losetup ") + (readOnly ? "--read-only " : "") + "--find --show " + Quote(image));
  if (attach.status != 0) {
    error_ = attach.err.empty() ? "losetup failed" : attach.err;
    return;
  }
  device_ = attach.out;
  while (!device_.empty() && device_.back() == '\n') device_.pop_back();
}

LoopDevice::~LoopDevice() {
  if (!device_.empty()) DetachByBackingFile(image_);
  GiveBackLoopLock();
}

}  // namespace e2e
