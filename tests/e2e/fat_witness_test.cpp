// Our FAT layer against independent tools: trees it writes into volumes
// that mkfs.fat made pass fsck.fat and list in mtools with the same short
// and long names; trees mtools writes come back through our layer.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "e2e_support.h"
#include "fat/fat_volume.h"
#include "lx/card/card_device.h"

namespace e2e {
namespace {

using namespace tessarin;

// A volume image of the FAT type made by mkfs.fat.
void MakeVolume(const fs::path& image, int fatBits, int megabytes) {
  MustShell("truncate -s " + std::to_string(megabytes) + "M " + Quote(image) + " && mkfs.fat -F " +
            std::to_string(fatBits) + " " + Quote(image) + " >/dev/null");
}

std::string AlarmName(int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "alarm_log_2026-12-10_%04d.csv", i);
  return buf;
}

std::string Deep(int levels) {
  std::string p;
  for (int i = 1; i <= levels; ++i) p += "Level" + std::to_string(i) + "/";
  return p;
}

// A panel's project folder at the limits of names, depth and size.
Tree WitnessTree(int alarms) {
  Tree t = {
      {"Project/main.prj", "the operator's project"},
      {"Project/Übersicht Maße.txt", "names beyond ASCII"},
      {"Project/Ärger und Lösung/daten.csv", "1;2;3\n"},
      {"Project/screens/Long name with blanks.txt", "long"},
      {"Project/screens/Logo [1].bmp", Noise(40000, 1)},
      {"Project/empty.bin", ""},
      {"Project/empty folder/", ""},
      {"Project/readme.txt", "lower case 8.3"},
      {"Project/ReadMe2.TXT", "mixed case"},
      {"Project/UPPER.TXT", "upper case"},
      {"Project/a.b.c.d", "dots"},
      {"Project/.hidden", "a leading dot"},
      {"Project/   leading blanks", "kept"},
      {"Project/" + std::string(250, 'L') + ".txt", "the longest name"},
      {"Project/" + Deep(30) + "end.txt", "at the bottom"},
      {"BLDR", Noise(3000, 2)},
      {"NK.BIN", Noise(300000, 3)},
  };
  for (int i = 1; i <= alarms; ++i) t["Project/Alarms/" + AlarmName(i)] = std::to_string(i);
  return t;
}

// The same through our layer.
std::set<Listed> OurListing(fat::Volume& v) {
  std::set<Listed> entries;
  const fat::Status walked = v.Walk("", [&](const std::string& path, const fat::Entry& e) {
    const std::size_t slash = path.rfind('/');
    entries.insert({slash == std::string::npos ? "" : path.substr(0, slash),
                    fat::ShortNameText(e.rawShortName, e.caseFlags), e.longName ? e.name : ""});
    return true;
  });
  EXPECT_TRUE(walked.ok()) << fat::Describe(walked.fault);
  return entries;
}

// mattrib's letters for every entry, by path.
std::map<std::string, std::string> MattribListing(const fs::path& image) {
  std::map<std::string, std::string> attributes;
  std::istringstream lines(
      MustShell("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mattrib -/ -i " + Quote(image.string()) + " ::/"));
  for (std::string line; std::getline(lines, line);) {
    if (line.size() <= 13 || line.compare(13, 3, "::/") != 0 || line.size() == 16) continue;
    std::string letters;
    for (char c : line.substr(0, 13))
      if (c != ' ') letters += c;
    attributes[line.substr(16)] = letters;
  }
  return attributes;
}

std::string Letters(std::uint8_t a) {
  std::string s;
  if (a & fat::kArchive) s += 'A';
  if (a & fat::kSystem) s += 'S';
  if (a & fat::kHidden) s += 'H';
  if (a & fat::kReadOnly) s += 'R';
  return s;
}

// fsck.fat's verdict: its version line and its summary line, and nothing
// between them.
void ExpectFsckClean(const fs::path& image) {
  const Output r = Shell("fsck.fat -n " + Quote(image.string()));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines.size(), 2u) << r.out;
}

struct Opened {
  std::unique_ptr<linux_port::CardDevice> device;
  std::unique_ptr<fat::Volume> volume;
};

Opened OpenImage(const fs::path& image, bool writable) {
  Opened o;
  int error = 0;
  o.device = linux_port::CardDevice::Open(image.string(), false, writable, error);
  EXPECT_NE(o.device, nullptr) << std::strerror(error);
  if (!o.device) return o;
  fat::OpenOptions options;
  options.writable = writable;
  options.clock = [] { return fat::CivilTime{2026, 12, 10, 9, 41, 0}; };
  fat::OpenResult r = fat::Volume::Open(*o.device, 0, 0, options);
  EXPECT_TRUE(r.status.ok()) << fat::Describe(r.status.fault);
  o.volume = std::move(r.volume);
  return o;
}

struct VolumeCase {
  const char* name;
  int fatBits;
  int megabytes;
  int alarms;
};

void PrintTo(const VolumeCase& c, std::ostream* os) { *os << c.name; }

class FatWitness : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(FatWitness, OurTreesPassFsckAndListAlikeInMtools) {
  const VolumeCase& c = GetParam();
  Scratch s;
  const fs::path image = s / "volume.img";
  MakeVolume(image, c.fatBits, c.megabytes);
  const Tree tree = WitnessTree(c.alarms);
  const std::map<std::string, std::uint8_t> attributes = {
      {"BLDR", fat::kReadOnly | fat::kHidden | fat::kSystem | fat::kArchive},
      {"Project/main.prj", fat::kReadOnly | fat::kArchive},
      {"Project/screens/Logo [1].bmp", fat::kHidden},
      {"Project/empty folder", fat::kHidden | fat::kSystem},
  };
  {
    Opened o = OpenImage(image, true);
    ASSERT_TRUE(o.volume);
    for (const auto& [path, content] : tree) {
      fat::CreateOptions options;
      const std::string plain = path.back() == '/' ? path.substr(0, path.size() - 1) : path;
      if (const auto it = attributes.find(plain); it != attributes.end()) options.attributes = it->second;
      if (path.back() == '/') {
        ASSERT_TRUE(o.volume->MakeFolders(plain, options).ok()) << path;
        continue;
      }
      ASSERT_TRUE(o.volume->MakeFolders(fs::path(path).parent_path().string()).ok()) << path;
      TextSource source(content);
      ASSERT_TRUE(o.volume->WriteFile(path, source, options).ok()) << path;
    }
    // Entries freed and taken again: some alarm files go, others are
    // written anew.
    for (int i = 1; i <= c.alarms; i += 7) ASSERT_TRUE(o.volume->Remove("Project/Alarms/" + AlarmName(i)).ok());
    for (int i = 3; i <= c.alarms; i += 7) {
      TextSource again(tree.at("Project/Alarms/" + AlarmName(i)));
      ASSERT_TRUE(o.volume->WriteFile("Project/Alarms/" + AlarmName(i), again).ok());
    }
    ASSERT_TRUE(o.volume->Flush().ok());
  }

  ExpectFsckClean(image);
  Opened o = OpenImage(image, false);
  ASSERT_TRUE(o.volume);
  const std::set<Listed> ours = OurListing(*o.volume);
  const std::set<Listed> theirs = MdirListing(image.string());
  EXPECT_EQ(ours.size(), theirs.size());
  std::vector<Listed> onlyOurs, onlyTheirs;
  std::set_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(), std::back_inserter(onlyOurs));
  std::set_difference(theirs.begin(), theirs.end(), ours.begin(), ours.end(), std::back_inserter(onlyTheirs));
  EXPECT_EQ(onlyOurs, std::vector<Listed>{});
  EXPECT_EQ(onlyTheirs, std::vector<Listed>{});

  const auto mattrib = MattribListing(image);
  for (const auto& [path, bits] : attributes) EXPECT_EQ(mattrib.at(path), Letters(bits)) << path;
  EXPECT_EQ(mattrib.at("NK.BIN"), "A");

  // The contents, as mtools reads them.
  Tree want;
  for (const auto& [path, content] : tree)
    if (path.rfind("Project/Alarms/", 0) != 0 || (std::stoi(path.substr(path.size() - 8, 4)) - 1) % 7 != 0)
      want[path] = content;
  const fs::path out = s / "out";
  fs::create_directories(out);
  MustShell("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mcopy -s -i " + Quote(image.string()) + " '::/*' " + Quote(out));
  Tree back = ReadTree(out);
  for (auto it = back.begin(); it != back.end();) {  // the folders are implied by the files
    const bool implied = it->first.back() == '/' && it->first != "Project/empty folder/";
    it = implied ? back.erase(it) : std::next(it);
  }
  EXPECT_EQ(Digest(back), Digest(want));
}

TEST_P(FatWitness, TreesMtoolsWroteComeBackThroughOurLayer) {
  const VolumeCase& c = GetParam();
  Scratch s;
  const fs::path image = s / "volume.img";
  MakeVolume(image, c.fatBits, c.megabytes);
  Tree tree = WitnessTree(std::min(c.alarms, 300));  // mtools' own tail search is slow
  WriteTree(s / "tree", tree);
  MustShell("cd " + Quote(s / "tree") + " && LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mcopy -s -i " + Quote(image.string()) +
            " BLDR NK.BIN Project ::/ && LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mattrib -i " + Quote(image.string()) +
            " +r +h +s ::/BLDR '::/Project/screens/Logo \\[1\\].bmp'");

  Opened o = OpenImage(image, false);
  ASSERT_TRUE(o.volume);
  Tree back;
  fat::Status inner;
  ASSERT_TRUE(o.volume
                  ->Walk("",
                         [&](const std::string& path, const fat::Entry& e) {
                           if (e.IsFolder()) return true;
                           TextSink sink;
                           inner = o.volume->ReadFile(e, sink);
                           back[path] = sink.data;
                           return inner.ok();
                         })
                  .ok());
  ASSERT_TRUE(inner.ok());
  Tree want;
  for (const auto& [path, content] : tree)
    if (path.back() != '/') want[path] = content;
  EXPECT_EQ(Digest(back), Digest(want));
  EXPECT_EQ(o.volume->Find("BLDR").value.attributes, fat::kReadOnly | fat::kHidden | fat::kSystem | fat::kArchive);
  EXPECT_EQ(o.volume->Find("Project/screens/Logo [1].bmp").value.attributes,
            fat::kReadOnly | fat::kHidden | fat::kSystem | fat::kArchive);
  EXPECT_EQ(OurListing(*o.volume), MdirListing(image.string()));
  EXPECT_EQ(o.volume->Check(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatWitness,
                         ::testing::Values(VolumeCase{"Fat12", 12, 4, 150}, VolumeCase{"Fat16", 16, 40, 1000},
                                           VolumeCase{"Fat32", 32, 100, 3000}),
                         [](const auto& info) { return std::string(info.param.name); });

// A device over a volume image in memory that keeps every write in order,
// so that a stop after any of them can be replayed.
class RecordingDevice final : public fat::SectorDevice {
 public:
  explicit RecordingDevice(std::vector<std::uint8_t> image) : image_(std::move(image)) {}
  std::uint64_t SectorCount() const override { return image_.size() / fat::kDeviceSectorSize; }
  Failure ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* bytes) override {
    std::memcpy(bytes, image_.data() + lba * fat::kDeviceSectorSize, std::size_t{count} * fat::kDeviceSectorSize);
    return {};
  }
  Failure WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* bytes) override {
    const std::size_t at = lba * fat::kDeviceSectorSize, length = std::size_t{count} * fat::kDeviceSectorSize;
    std::memcpy(image_.data() + at, bytes, length);
    writes.push_back({at, std::vector<std::uint8_t>(bytes, bytes + length)});
    return {};
  }
  Failure Flush() override { return {}; }

  struct Write {
    std::size_t offset;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Write> writes;

 private:
  std::vector<std::uint8_t> image_;
};

// What fsck.fat -n finds beyond its version and summary lines, without
// what a stop may leave on a sound volume: clusters that belong to nothing
// (and so a wrong free count), FATs whose copies differ in a sector
// written to one and not yet to the other, the first slots of a long name
// whose short entry lies in a sector not yet written (no entry yet, only
// slots that name none).
std::vector<std::string> FsckDamage(const fs::path& image) {
  const Output r = Shell("fsck.fat -n " + Quote(image.string()));
  std::vector<std::string> damage;
  std::istringstream in(r.out + r.err);
  for (std::string line; std::getline(in, line);) {
    const bool harmless = line.empty() || line.rfind("fsck.fat ", 0) == 0 || line.rfind(image.string() + ":", 0) == 0 ||
                          line.rfind("Reclaimed ", 0) == 0 || line.rfind("Free cluster summary wrong", 0) == 0 ||
                          line == "  Auto-correcting." || line == "Leaving filesystem unchanged." ||
                          line.rfind("Orphaned long file name part", 0) == 0 || line == "  Auto-deleting." ||
                          line.find("FATs differ but appear to be intact") != std::string::npos ||
                          line.find("Using first FAT") != std::string::npos;
    if (!harmless) damage.push_back(line);
  }
  return damage;
}

// A write of the layer may be the last one the card gets (the program
// killed, the card pulled): the FAT holds a file's chain before the
// folder holds its entry, so a stop anywhere leaves at worst clusters that
// belong to nothing, never an entry on clusters the FAT calls free.
TEST(FatWitnessOfStops, NoStopLeavesAnEntryWithoutItsChain) {
  struct Case {
    const char* name;
    int fatBits, megabytes;
  };
  for (const Case& c : {Case{"Fat12", 12, 4}, Case{"Fat16", 16, 16}, Case{"Fat32", 32, 34}}) {
    SCOPED_TRACE(c.name);
    Scratch s;
    const fs::path image = s / "volume.img";
    MakeVolume(image, c.fatBits, c.megabytes);
    RecordingDevice device(ReadBytes(image, 0, static_cast<std::size_t>(fs::file_size(image))));
    {
      fat::OpenOptions options;
      options.writable = true;
      fat::OpenResult r = fat::Volume::Open(device, 0, 0, options);
      ASSERT_TRUE(r.status.ok());
      fat::Volume& v = *r.volume;
      ASSERT_TRUE(v.MakeFolders("Project/screens").ok());
      const std::string big = Noise(5000, 7), small = "1;2;3\n";
      // Enough long names to make the folder grow by clusters of its own.
      for (int i = 1; i <= 24; ++i) {
        TextSource source(i % 5 == 0 ? big : small);
        ASSERT_TRUE(v.WriteFile("Project/screens/" + AlarmName(i), source).ok());
      }
      TextSource replacement(big);
      ASSERT_TRUE(v.WriteFile("Project/screens/" + AlarmName(2), replacement).ok());
      ASSERT_TRUE(v.Remove("Project/screens/" + AlarmName(5)).ok());
      ASSERT_TRUE(v.Flush().ok());
    }
    ASSERT_GT(device.writes.size(), 24u);
    // The image as the card has it after each write, one after the other.
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    for (std::size_t n = 0; n < device.writes.size(); ++n) {
      const RecordingDevice::Write& w = device.writes[n];
      file.seekp(static_cast<std::streamoff>(w.offset));
      file.write(reinterpret_cast<const char*>(w.bytes.data()), static_cast<std::streamsize>(w.bytes.size()));
      file.flush();
      EXPECT_EQ(FsckDamage(image), std::vector<std::string>{})
          << "stopped after write " << n + 1 << " of " << device.writes.size();
    }
    EXPECT_EQ(FsckDamage(image), std::vector<std::string>{});
    ExpectFsckClean(image);
  }
}

}  // namespace
}  // namespace e2e
