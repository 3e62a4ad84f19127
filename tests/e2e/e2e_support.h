// Card images and runs of the program for the e2e suite.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "shared/byte_streams.h"
#include "shared/card_definitions.h"
#include "shared/test_files.h"

namespace e2e {

namespace fs = std::filesystem;

struct Output {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a shell command line; its output and error output are kept.
Output Shell(const std::string& command);
// Runs it and fails the test when it does not succeed.
std::string MustShell(const std::string& command);
std::string Quote(const std::string& text);

// A folder for one test, removed at its end.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

struct CardShape {
  std::uint64_t megabytes = 128;
  std::optional<std::string> geometry;  // "HEADS/SECTORS" for mkfs.fat -g
  bool format = true;                   // a FAT32 volume in partition 1
};
inline constexpr std::uint32_t kPartitionStart = 2048;

// A whole-card image: MBR with one FAT32 (LBA) partition from sector 2048.
void MakeCard(const fs::path& image, const CardShape& shape);

// mtools on the card's partition.
std::string Mtools(const fs::path& image, const std::string& command);

using tessarin::test::kDefinitionsFileName;
using tessarin::test::ReadFileBytes;
using tessarin::test::ReadTree;
using tessarin::test::TextSink;
using tessarin::test::TextSource;
using tessarin::test::Tree;
using tessarin::test::WriteFileBytes;
using tessarin::test::WriteTree;

// Puts the card definition file the program ships with into folder.
void PutCardDefinitions(const fs::path& folder);
// Puts a local folder onto the card as ::/<name>.
void PutOnCard(const fs::path& image, const fs::path& folder, const std::string& name);
// Writes a file onto the card through our FAT layer (its folder must be
// there): mtools 4.0.32 spoils long names beyond ASCII.
void WriteCardFile(const fs::path& image, const std::string& path, const std::string& contents);
// Puts something other than FAT over the volume's boot sector and its
// backup: the card's files cannot be read.
void SpoilVolume(const fs::path& image);
// Marks the first cluster of a card file or folder ("Project/a.txt") free
// in both FATs: its chain is broken.
void BreakChain(const fs::path& image, const std::string& path);
// The card's folder as a tree; empty when it is missing.
Tree CardTree(const fs::path& image, const std::string& folder, const fs::path& scratch);

std::vector<std::uint8_t> ReadBytes(const fs::path& file, std::uint64_t offset, std::size_t length);
std::string FileHash(const fs::path& file);

// Builds an installer archive (stub + zip) of the tree, entries in order.
void MakeInstaller(const fs::path& archive, const Tree& tree, const std::vector<std::string>& order,
                   const fs::path& scratch);

// Bytes that do not compress, the same on every run.
std::string Noise(std::size_t size, std::uint32_t seed);

// Runs tessarin with the working directory and TMPDIR given; launcher
// goes before the program (environment settings, setpriv ...).
Output RunTessarin(const fs::path& workDir, const fs::path& tmpDir, const std::string& args,
                   const std::string& launcher = {});

// Puts a wrapper of the system tool into folder (to go first on PATH): it
// runs the shell lines before, the real tool, then the lines after, where
// $rc holds the tool's status; the wrapper ends with that status.
void WrapTool(const fs::path& folder, const std::string& tool, const std::string& before, const std::string& after);

// How long a test waits for the state it waits for (a line, a file, a
// process) before it gives up: a guard that turns a hang into a failure,
// never a measure of time.
inline constexpr std::chrono::seconds kWaitDeadline{180};
// Polls until done() holds; false when the deadline came first.
bool WaitUntil(const std::function<bool()>& done);
// Shell lines that poll until condition (a shell command) succeeds; past
// the deadline they say so on standard error and go on, and the test fails
// on what it then finds.
std::string ShellWaitUntil(const std::string& condition);

// The program's lines on standard error as it takes an interrupt: the
// first only warns, the second stops the restore at the next step's
// boundary.
inline const std::string kFirstInterruptLine = "stopping now can leave the card unusable; the restore goes on.";
inline const std::string kSecondInterruptLine = "stopping once the current step is done";
// The line a restore writes when asked for its progress (SIGUSR1).
inline const std::string kProgressLine = "tessarin: progress: ";
// Shell lines for a wrapper of a tool the program runs (WrapTool): they
// send the program ($PPID) signal ("INT", "TERM", ...) and wait until its
// standard error, a file, holds line: it has taken the signal, and a next
// one is not merged into it.
std::string SignalProgram(const std::string& signal, const std::string& line);

// A process in the background that holds something (a file open, a lock)
// for this test: command runs by bash in folder, in a process group of its
// own, and ends by exec'ing HoldCommand(). The constructor returns once
// ready (a shell condition; $pid is the holder's PID) holds, and the
// holder's group is killed at the end.
class Holder {
 public:
  Holder(const fs::path& folder, const std::string& command, const std::string& ready);
  ~Holder();
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  const std::string& pid() const { return pid_; }

 private:
  std::string pid_;
};
// What a holder runs in the end: it lives as long as this test program,
// even when the program dies without ending its holders.
std::string HoldCommand();

// Puts a tool of the test's own into folder (to go first on PATH): a
// shell script of body alone.
void StandInTool(const fs::path& folder, const std::string& tool, const std::string& body);

// setpriv's prefix that runs a command as the unprivileged user "nobody",
// after handing it the tree; empty when the tests do not run as root.
std::string AsUnprivilegedUser(const fs::path& tree);

// The log lines without their time stamps (everything up to the first
// "::" is the time).
std::vector<std::string> LogMessages(const std::string& stdoutText);

// A tree's sizes and hashes, short enough to print when trees differ.
std::map<std::string, std::string> Digest(const Tree& tree);

// What fsck.fat -n finds on the card's partition beyond the two remarks
// every card restored from our templates earns (the boot sector's label
// against the root folder's label entry, and the backup boot sector that
// keeps the formatter's bytes); empty for a sound volume.
std::string FsckFindings(const fs::path& image, const fs::path& scratch);

// mattrib's letters for a card file without blanks, e.g. "ASHR".
std::string Attributes(const fs::path& image, const std::string& path);

// A card entry's attributes, named relative to a folder.
struct EntryAttributes {
  std::string path;
  std::uint32_t attributes = 0;  // kAttrReadOnly, kAttrHidden, kAttrSystem, kAttrArchive
};
// The attributes of every entry below root from an "mattrib -/" listing,
// named relative to root; root itself is left out.
std::vector<EntryAttributes> ParseAttributeListing(const std::string& listing);

// One entry of an "mdir -/ -a" listing: its folder relative to the listed
// one, its short name as shown (the case byte applied) and its long name
// (empty when it has none).
struct Listed {
  std::string folder;
  std::string shortName;
  std::string longName;
  bool operator<(const Listed& o) const;
  bool operator==(const Listed& o) const;
};
std::ostream& operator<<(std::ostream& os, const Listed& l);
// Every entry below folder ("" for the root) of a volume, as mtools'
// -i option names it ("vol.img" or "card.img@@OFFSET").
std::set<Listed> MdirListing(const std::string& volume, const std::string& folder = "");
// The card's first partition as mtools' -i option names it.
std::string CardVolume(const fs::path& card);

// fsck.fat -n on the card's partition: what it reports beyond its version
// and summary lines and the two remarks every restored card earns (the
// boot sector's label against the root folder's label entry, and the
// backup boot sector that keeps the formatter's bytes). Empty when the
// volume is sound.
std::vector<std::string> FsckFindings(const fs::path& card);

// Boots the card image in qemu-system-i386 and returns what it wrote to
// the debug console (empty when qemu is missing).
std::string BootCard(const fs::path& image);

// Parses text as JSON lines with python3's json module (strictly: no
// control characters in strings, no NaN) and prints expression, in which
// "objs" is the list of the objects, one per line. The test fails when a
// line is not valid JSON.
std::string JsonQuery(const std::string& text, const std::string& expression);

// A sysfs tree as the kernel lays it out: devices below their bus's
// folders, partitions below their disk, mapped devices with slaves and
// holders; block/, class/block/ and dev/block/MAJ:MIN link to them.
class FakeSysfs {
 public:
  explicit FakeSysfs(const fs::path& root);
  // A disk whose device is devices/<deviceFolder>; its "device" link points
  // there.
  fs::path Disk(const std::string& name, dev_t dev, const std::string& deviceFolder = "pci0");
  fs::path Partition(const fs::path& disk, const std::string& name, dev_t dev);
  fs::path Mapped(const std::string& name, dev_t dev, const fs::path& slave);
  // Writes an attribute file (size, removable, ro, device/model, ...).
  static void Set(const fs::path& dir, const std::string& file, const std::string& value);
  std::string path() const { return root_.string(); }

 private:
  fs::path Add(const fs::path& dir, dev_t dev);
  fs::path root_;
};

// A loop device over a card image, standing for a card reader. Loop
// device names are handed out again as soon as one is free, so a test that
// detaches by name could detach another test's card, and a device the
// program reopens could by then be another test's: while any LoopDevice
// lives in this process, the machine-wide loop lock is held, and every
// test process on the machine (other presets, other shards) waits for it.
// On its end the device is detached by its backing file, never by name.
class LoopDevice {
 public:
  explicit LoopDevice(const fs::path& image, bool readOnly = false);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  // Empty when no loop device could be attached; error() says why.
  const std::string& device() const { return device_; }
  const std::string& error() const { return error_; }

 private:
  fs::path image_;
  std::string device_;
  std::string error_;
};

}  // namespace e2e
