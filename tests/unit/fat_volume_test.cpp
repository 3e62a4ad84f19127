// The FAT volume layer on an in-memory device: trees written and read
// back on every FAT type, the refusals per name, damaged volumes, and the
// device failing at each of its transfers in turn.
#include "fat/fat_volume.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "fat_format.h"
#include "shared/byte_streams.h"
#include "shared/test_files.h"

namespace tessarin::fat {
namespace {

using test::FatLayout;
using test::SparseDevice;
using test::TextSink;
using test::TextSource;
using test::Tree;

std::string Pattern(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return s;
}

std::unique_ptr<Volume> Open(SparseDevice& device, const FatLayout& l, bool writable = true) {
  OpenOptions options;
  options.writable = writable;
  options.clock = [] { return CivilTime{2026, 12, 10, 14, 30, 7}; };
  OpenResult r = Volume::Open(device, l.first, l.sectors, options);
  EXPECT_TRUE(r.status.ok()) << Describe(r.status.fault);
  return std::move(r.volume);
}

Status WriteTree(Volume& v, const Tree& tree, const std::map<std::string, std::uint8_t>& attributes = {}) {
  for (const auto& [path, content] : tree) {
    CreateOptions options;
    if (const auto it = attributes.find(path); it != attributes.end()) options.attributes = it->second;
    if (path.back() == '/') {
      if (Result<Entry> r = v.MakeFolders(path, options); !r.ok()) return r.status;
      continue;
    }
    if (const std::size_t slash = path.rfind('/'); slash != std::string::npos)
      if (Result<Entry> r = v.MakeFolders(path.substr(0, slash)); !r.ok()) return r.status;
    TextSource source(content, 7000);  // pieces that end inside a sector
    if (Result<Entry> r = v.WriteFile(path, source, options); !r.ok()) return r.status;
  }
  return v.Flush();
}

Status ReadTree(Volume& v, Tree& tree, std::map<std::string, std::uint8_t>* attributes = nullptr) {
  tree.clear();
  Status inner;
  const Status walked = v.Walk("", [&](const std::string& path, const Entry& e) {
    if (attributes != nullptr) (*attributes)[path + (e.IsFolder() ? "/" : "")] = e.attributes;
    if (e.IsFolder()) {
      tree[path + "/"] = "";
      return true;
    }
    TextSink sink;
    inner = v.ReadFile(e, sink);
    tree[path] = sink.data;
    return inner.ok();
  });
  return walked.ok() ? inner : walked;
}

std::string DeepPath(int levels) {
  std::string p;
  for (int i = 1; i <= levels; ++i) p += "Ebene " + std::to_string(i) + "/";
  return p;
}

// A tree with what a panel's project folder holds.
Tree ProjectTree(std::uint32_t clusterBytes) {
  return {
      {"Project/", ""},
      {"Project/main.prj", "the operator's project"},
      {"Project/Übersicht Maße.txt", "names beyond ASCII"},
      {"Project/screens/Long name with blanks.txt", "long"},
      {"Project/screens/Logo [1].bmp", Pattern(40000, 1)},
      {"Project/empty.bin", ""},
      {"Project/empty folder/", ""},
      {"Project/cluster.bin", Pattern(clusterBytes, 2)},
      {"Project/cluster and one.bin", Pattern(clusterBytes + 1, 3)},
      {"Project/" + DeepPath(20) + "end.txt", "at the bottom"},
      {"Project/😀 " + std::string(200, 'n') + ".dat", "a name of sixteen long-name entries"},
      {"README.TXT", "upper case 8.3"},
      {"readme2.txt", "lower case 8.3"},
      {"big.bin", Pattern(300000, 4)},
  };
}

struct TypeCase {
  const char* name;
  FatType type;
  std::uint32_t sectors;
};

class FatRoundTrip : public ::testing::TestWithParam<TypeCase> {};

TEST_P(FatRoundTrip, TreeComesBackAsWritten) {
  const TypeCase& c = GetParam();
  SparseDevice device(c.sectors + 63);
  const FatLayout layout = test::FormatVolume(device, c.type, 63, c.sectors);
  const std::uint32_t clusterBytes = layout.sectorsPerCluster * 512;
  const Tree tree = ProjectTree(clusterBytes);
  const std::map<std::string, std::uint8_t> attributes = {
      {"Project/main.prj", kReadOnly | kArchive},
      {"Project/screens/Logo [1].bmp", kHidden},
      {"Project/empty folder/", kHidden | kSystem},
      {"README.TXT", kReadOnly | kHidden | kSystem | kArchive},
  };
  {
    auto v = Open(device, layout);
    ASSERT_EQ(v->Info().type, c.type);
    const std::uint32_t freeBefore = v->Info().freeClusters;
    ASSERT_TRUE(WriteTree(*v, tree, attributes).ok());
    EXPECT_LT(v->Info().freeClusters, freeBefore);
  }
  auto v = Open(device, layout, false);
  Tree back;
  std::map<std::string, std::uint8_t> attributesBack;
  ASSERT_TRUE(ReadTree(*v, back, &attributesBack).ok());
  Tree want = tree;
  for (const auto& [path, content] : tree)  // the folders a path implies
    for (std::size_t slash = path.find('/'); slash != std::string::npos && slash + 1 < path.size();
         slash = path.find('/', slash + 1))
      want.emplace(path.substr(0, slash + 1), "");
  EXPECT_EQ(back.size(), want.size());
  for (const auto& [path, content] : want) {
    ASSERT_TRUE(back.count(path)) << path;
    EXPECT_TRUE(back[path] == content) << path << ": " << back[path].size() << " bytes, want " << content.size();
  }
  for (const auto& [path, bits] : attributes) EXPECT_EQ(attributesBack[path] & ~kFolder, bits) << path;
  EXPECT_EQ(attributesBack["big.bin"], kArchive);
  EXPECT_EQ(attributesBack["Project/screens/"], kFolder);
  const Result<Entry> e = v->Find("project/MAIN.PRJ");
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(FromStamp(e.value.modified).year, 2026);
  EXPECT_EQ(FromStamp(e.value.modified).second, 6);
  EXPECT_EQ(v->Check(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Types, FatRoundTrip,
                         ::testing::Values(TypeCase{"Fat12", FatType::Fat12, 8000},
                                           TypeCase{"Fat16", FatType::Fat16, 40000},
                                           TypeCase{"Fat32", FatType::Fat32, 140000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FatVolume, ThousandsOfSimilarNamesInOneFolder) {
  SparseDevice device(140000);
  const FatLayout layout = test::FormatVolume(device, FatType::Fat32, 0, 140000);
  constexpr int kFiles = 3000;
  auto name = [](int i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "alarm_log_2026-12-10_%04d.csv", i);
    return std::string(buf);
  };
  std::set<std::string> shortNames;
  {
    auto v = Open(device, layout);
    ASSERT_TRUE(v->MakeFolders("Project/Alarms").ok());
    for (int i = 1; i <= kFiles; ++i) {
      TextSource s(std::to_string(i));
      const Result<Entry> r = v->WriteFile("Project/Alarms/" + name(i), s);
      ASSERT_TRUE(r.ok()) << name(i);
      shortNames.insert(r.value.shortName);
    }
    ASSERT_TRUE(v->Flush().ok());
  }
  EXPECT_EQ(shortNames.size(), std::size_t{kFiles});
  auto v = Open(device, layout, false);
  const Result<std::vector<Entry>> listed = v->List("Project/Alarms");
  ASSERT_TRUE(listed.ok());
  ASSERT_EQ(listed.value.size(), std::size_t{kFiles});
  for (int i : {1, 4, 5, 1234, kFiles}) {
    const Entry& e = listed.value[static_cast<std::size_t>(i - 1)];
    EXPECT_EQ(e.name, name(i));
    TextSink sink;
    ASSERT_TRUE(v->ReadFile("Project/Alarms/" + e.shortName, sink).ok());
    EXPECT_EQ(sink.data, std::to_string(i));
  }
  EXPECT_EQ(v->Check(), std::vector<std::string>{});
}

TEST(FatVolume, FixedRootFolderFillsUp) {
  SparseDevice device(8000);
  const FatLayout layout = test::FormatVolume(device, FatType::Fat12, 0, 8000);
  auto v = Open(device, layout);
  int written = 0;
  Status last;
  for (int i = 0; i < 600 && last.ok(); ++i) {
    TextSource s("x");
    std::string name = "F";
    name += std::to_string(i);
    name += ".TXT";
    last = v->WriteFile(name, s).status;
    if (last.ok()) ++written;
  }
  EXPECT_EQ(last.fault, Fault::FolderFull);
  EXPECT_EQ(written, 512);
  ASSERT_TRUE(v->Flush().ok());
  EXPECT_EQ(v->Check(), std::vector<std::string>{});
}

// Each refusal names its reason, and leaves the volume as it was.
TEST(FatVolume, RefusalsPerName) {
  SparseDevice device(140000);
  const FatLayout layout = test::FormatVolume(device, FatType::Fat32, 0, 140000);
  auto v = Open(device, layout);
  ASSERT_TRUE(
      WriteTree(*v, {{"REPORT.TXT", "r"}, {"Long File Name.txt", "l"}, {"folder/", ""}, {"file.txt", "f"}}).ok());
  const std::uint32_t freeBefore = v->Info().freeClusters;
  struct Case {
    std::string path;
    bool replace;
    std::optional<std::uint64_t> size;
    Fault fault;
  };
  const Case cases[] = {
      {"bad:name.txt", true, {}, Fault::NameNotAllowed},
      {"trailing.", true, {}, Fault::NameNotAllowed},
      {std::string(256, 'x'), true, {}, Fault::NameNotAllowed},
      {"Report.txt", false, {}, Fault::NameClash},
      {"LONGFI~1.TXT", true, {}, Fault::NameClash},
      {"huge.bin", true, std::uint64_t{1} << 32, Fault::TooLarge},
      {"folder", true, {}, Fault::IsAFolder},
      {"missing/file.txt", true, {}, Fault::NotFound},
      {"file.txt/inner", true, {}, Fault::NotAFolder},
      {"", true, {}, Fault::IsAFolder},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    TextSource s("content");
    CreateOptions options;
    options.replace = c.replace;
    options.size = c.size;
    EXPECT_EQ(v->WriteFile(c.path, s, options).status.fault, c.fault);
  }
  EXPECT_EQ(v->MakeFolders("file.txt/sub").status.fault, Fault::NotAFolder);
  EXPECT_EQ(v->MakeFolders("a|b").status.fault, Fault::NameNotAllowed);
  EXPECT_EQ(v->Info().freeClusters, freeBefore);
  ASSERT_TRUE(v->Flush().ok());
  EXPECT_EQ(v->Check(), std::vector<std::string>{});
  EXPECT_EQ(v->List("").value.size(), 4u);
}

// A stream that passes 4 GiB is refused when it does, and leaves nothing;
// one byte less is a good file.
TEST(FatVolume, FilesEndBelowFourGiB) {
  class Zeros final : public ByteSource {
   public:
    explicit Zeros(std::uint64_t total) : left_(total) {}
    Chunk Read(std::uint8_t*, std::size_t size) override {  // the buffer's bytes do not matter
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size, left_));
      left_ -= n;
      return {n, {}};
    }

   private:
    std::uint64_t left_;
  };
  constexpr std::uint32_t kSectors = 18u << 20;  // 9 GiB
  SparseDevice device(kSectors);
  const FatLayout layout = test::FormatVolume(device, FatType::Fat32, 0, kSectors, 64);
  device.discardFrom = layout.Cluster(3);  // file data is not kept
  auto v = Open(device, layout);
  const std::uint32_t freeBefore = v->Info().freeClusters;
  Zeros tooMuch(std::uint64_t{1} << 32);
  EXPECT_EQ(v->WriteFile("four.bin", tooMuch).status.fault, Fault::TooLarge);
  EXPECT_EQ(v->Info().freeClusters, freeBefore);
  EXPECT_EQ(v->Find("four.bin").status.fault, Fault::NotFound);
  Zeros justBelow((std::uint64_t{1} << 32) - 1);
  const Result<Entry> r = v->WriteFile("below.bin", justBelow);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.size, 0xFFFFFFFFu);
  ASSERT_TRUE(v->Flush().ok());
  EXPECT_EQ(v->Check(), std::vector<std::string>{});
}

TEST(FatVolume, ReplaceRemoveAndAttributes) {
  SparseDevice device(40000);
  const FatLayout layout = test::FormatVolume(device, FatType::Fat16, 0, 40000);
  auto v = Open(device, layout);
  const std::uint32_t fresh = v->Info().freeClusters;
  ASSERT_TRUE(WriteTree(*v, {{"Project/Main.prj", Pattern(5000, 1)}, {"Project/sub/deeper/a.txt", "a"}}).ok());
  // The operator's copy replaces the installer's, whatever the case.
  TextSource again("new contents");
  ASSERT_TRUE(v->WriteFile("project/MAIN.PRJ", again).ok());
  const Result<std::vector<Entry>> listed = v->List("Project");
  ASSERT_TRUE(listed.ok());
  ASSERT_EQ(listed.value.size(), 2u);
  EXPECT_EQ(v->Find("Project/main.prj").value.name, "MAIN.PRJ");
  EXPECT_EQ(v->Find("Project/main.prj").value.size, 12u);

  ASSERT_TRUE(v->SetAttributes("Project/sub", kHidden | kSystem).ok());
  EXPECT_EQ(v->Find("Project/sub").value.attributes, kFolder | kHidden | kSystem);
  ASSERT_TRUE(v->SetAttributes("Project/MAIN.PRJ", kReadOnly | kHidden | kSystem | kArchive).ok());
  EXPECT_EQ(v->SetAttributes("Project/none", kHidden).fault, Fault::NotFound);

  EXPECT_EQ(v->Remove("Project/sub").fault, Fault::NotEmpty);
  ASSERT_TRUE(v->RemoveTree("Project").ok());
  EXPECT_EQ(v->Find("Project").status.fault, Fault::NotFound);
  EXPECT_EQ(v->Info().freeClusters, fresh);
  ASSERT_TRUE(v->Flush().ok());
  EXPECT_EQ(v->Check(), std::vector<std::string>{});
}

// Damaged volumes: read through the second FAT or the backup boot sector
// where those are sound; otherwise unreadable, and said how.
TEST(FatVolume, DamagedVolumes) {
  struct Case {
    const char* name;
    FatType type;
    std::function<void(SparseDevice&, const FatLayout&)> spoil;
    Fault fault;
    bool secondFat;
    bool backupBootSector;
  };
  auto zeroFat = [](int copy) {
    return [copy](SparseDevice& d, const FatLayout& l) { d.Zero(l.Fat(copy), l.fatSectors); };
  };
  const Case cases[] = {
      {"FirstFatZeroed", FatType::Fat32, zeroFat(0), Fault::None, true, false},
      {"FirstFatZeroedFat12", FatType::Fat12, zeroFat(0), Fault::None, true, false},
      {"FirstFatPointsOutside", FatType::Fat16,
       [](SparseDevice& d, const FatLayout& l) {
         auto s = d.Get(l.Fat(0));
         s[100] = 0xF0;  // cluster 50 -> 0xFFF0, beyond the volume
         s[101] = 0xFF;
         d.Put(l.Fat(0), s);
       },
       Fault::None, true, false},
      {"FirstFatUnreadable", FatType::Fat32,
       [](SparseDevice& d, const FatLayout& l) {
         d.unreadableFrom = l.Fat(0);
         d.unreadableTo = l.Fat(0);
       },
       Fault::None, true, false},
      {"BootSectorZeroed", FatType::Fat32, [](SparseDevice& d, const FatLayout& l) { d.Zero(l.first); }, Fault::None,
       false, true},
      {"BothFatsZeroed", FatType::Fat32,
       [](SparseDevice& d, const FatLayout& l) {
         d.Zero(l.Fat(0), l.fatSectors);
         d.Zero(l.Fat(1), l.fatSectors);
       },
       Fault::Damaged, false, false},
      // Boot sectors wiped, FATs and files left: not a card without files.
      {"BootSectorAndBackupZeroed", FatType::Fat32,
       [](SparseDevice& d, const FatLayout& l) {
         d.Zero(l.first);
         d.Zero(l.first + 6);
       },
       Fault::Damaged, false, false},
      {"BootSectorZeroedFat16", FatType::Fat16, [](SparseDevice& d, const FatLayout& l) { d.Zero(l.first); },
       Fault::Damaged, false, false},
      // Nothing where a file system would begin: never formatted.
      {"NeverFormatted", FatType::Fat32, [](SparseDevice& d, const FatLayout& l) { d.Zero(l.first, 16384); },
       Fault::Blank, false, false},
      {"BootSectorGarbage", FatType::Fat16,
       [](SparseDevice& d, const FatLayout& l) {
         SparseDevice::Sector s;
         s.fill(0x5A);
         d.Put(l.first, s);
       },
       Fault::NotFat, false, false},
      {"BootSectorUnreadable", FatType::Fat32,
       [](SparseDevice& d, const FatLayout& l) {
         d.unreadableFrom = l.first;
         d.unreadableTo = l.first;
       },
       Fault::ReadFailed, false, false},
  };
  const Tree tree = {{"Project/a.txt", Pattern(3000, 9)}, {"Project/b/c.txt", "c"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint32_t sectors = c.type == FatType::Fat32 ? 140000 : c.type == FatType::Fat16 ? 40000 : 8000;
    SparseDevice device(sectors);
    const FatLayout layout = test::FormatVolume(device, c.type, 0, sectors);
    {
      auto v = Open(device, layout);
      ASSERT_TRUE(WriteTree(*v, tree).ok());
    }
    c.spoil(device, layout);
    OpenResult opened = Volume::Open(device, layout.first, layout.sectors, {});
    EXPECT_EQ(opened.status.fault, c.fault) << Describe(opened.status.fault);
    if (c.fault == Fault::ReadFailed) {
      EXPECT_EQ(opened.status.cause, Failure::Errno(FailureKind::Read, SparseDevice::kErrorCode));
    }
    if (!opened.status.ok()) continue;
    EXPECT_EQ(opened.volume->Info().fromSecondFat, c.secondFat);
    EXPECT_EQ(opened.volume->Info().fromBackupBootSector, c.backupBootSector);
    Tree back;
    ASSERT_TRUE(ReadTree(*opened.volume, back).ok());
    EXPECT_EQ(back.at("Project/a.txt"), tree.at("Project/a.txt"));
    EXPECT_EQ(back.at("Project/b/c.txt"), "c");
  }
}

TEST(FatVolume, WritingThroughTheSecondFatMendsTheFirst) {
  SparseDevice device(140000);
  const FatLayout layout = test::FormatVolume(device, FatType::Fat32, 0, 140000);
  ASSERT_TRUE(WriteTree(*Open(device, layout), {{"a.txt", Pattern(9000, 5)}}).ok());
  device.Zero(layout.Fat(0), layout.fatSectors);
  auto v = Open(device, layout);
  ASSERT_TRUE(v->Info().fromSecondFat);
  ASSERT_TRUE(WriteTree(*v, {{"b.txt", "b"}}).ok());
  v.reset();
  auto again = Open(device, layout, false);
  EXPECT_FALSE(again->Info().fromSecondFat);
  EXPECT_EQ(again->Check(), std::vector<std::string>{});
}

// Chains and folders that run into themselves end the walk or the read
// as damaged, instead of running on.
TEST(FatVolume, LoopsEndAsDamage) {
  SparseDevice device(40000);
  const FatLayout layout = test::FormatVolume(device, FatType::Fat16, 0, 40000);
  ASSERT_TRUE(WriteTree(*Open(device, layout), {{"a/b/", ""}, {"long.bin", Pattern(20000, 6)}}).ok());
  const std::uint32_t a = Open(device, layout, false)->Find("a").value.firstCluster;
  const std::uint32_t file = Open(device, layout, false)->Find("long.bin").value.firstCluster;

  // b's entry in a points back to a.
  auto sector = device.Get(layout.Cluster(a));
  ASSERT_EQ(std::string(reinterpret_cast<char*>(sector.data()) + 64, 11), "B          ");
  sector[64 + 26] = static_cast<std::uint8_t>(a);
  sector[64 + 27] = static_cast<std::uint8_t>(a >> 8);
  device.Put(layout.Cluster(a), sector);
  // The file's second cluster leads back to its first, in both FATs.
  for (int copy = 0; copy < 2; ++copy) {
    auto fat = device.Get(layout.Fat(copy) + (file + 1) * 2 / 512);
    const std::size_t at = (file + 1) * 2 % 512;
    fat[at] = static_cast<std::uint8_t>(file);
    fat[at + 1] = static_cast<std::uint8_t>(file >> 8);
    device.Put(layout.Fat(copy) + (file + 1) * 2 / 512, fat);
  }

  auto v = Open(device, layout);
  int visits = 0;
  EXPECT_EQ(v->Walk("", [&](const std::string&, const Entry&) { return ++visits < 100000; }).fault, Fault::Damaged);
  EXPECT_LT(visits, 10);
  TextSink sink;
  EXPECT_EQ(v->ReadFile("long.bin", sink).fault, Fault::Damaged);
  EXPECT_EQ(v->RemoveTree("a").fault, Fault::Damaged);
  EXPECT_FALSE(v->Check().empty());
}

// The device fails at one transfer after another: every time a clean
// status with the device's code, never a crash, and what was reported
// written reads back as written.
TEST(FatVolume, EachTransferFailingInTurn) {
  for (FatType type : {FatType::Fat16, FatType::Fat32}) {
    SCOPED_TRACE(type == FatType::Fat16 ? "FAT16" : "FAT32");
    const std::uint32_t sectors = type == FatType::Fat16 ? 40000 : 140000;
    const Tree tree = {{"Project/main.prj", "project"},
                       {"Project/Long name with blanks.txt", Pattern(5000, 7)},
                       {"Project/sub/deep/values.csv", "1;2;3"},
                       {"BLDR", Pattern(3000, 8)}};

    // Reading: open, walk and read everything.
    SparseDevice device(sectors);
    const FatLayout layout = test::FormatVolume(device, type, 0, sectors);
    ASSERT_TRUE(WriteTree(*Open(device, layout), tree).ok());
    device.reads = 0;
    Tree back;
    {
      auto v = Open(device, layout, false);
      ASSERT_TRUE(ReadTree(*v, back).ok());
    }
    const std::uint64_t reads = device.reads;
    EXPECT_GT(reads, 5u);
    for (std::uint64_t n = 1; n <= reads; ++n) {
      device.reads = 0;
      device.failRead = n;
      OpenResult opened = Volume::Open(device, layout.first, layout.sectors, {});
      Status s = opened.status;
      Tree got;
      if (s) s = ReadTree(*opened.volume, got);
      if (s) {
        EXPECT_EQ(got, back) << "read " << n;  // a second FAT may stand in for the first
      } else {
        EXPECT_EQ(s.fault, Fault::ReadFailed) << "read " << n;
        EXPECT_EQ(s.cause, Failure::Errno(FailureKind::Read, SparseDevice::kErrorCode));
      }
    }
    device.failRead = 0;

    // Writing: a fresh volume each time, the tree written until the
    // failure.
    SparseDevice counting(sectors);
    test::FormatVolume(counting, type, 0, sectors);
    counting.writes = 0;
    ASSERT_TRUE(WriteTree(*Open(counting, layout), tree).ok());
    const std::uint64_t writes = counting.writes;
    EXPECT_GT(writes, 10u);
    for (std::uint64_t n = 1; n <= writes; ++n) {
      SparseDevice d(sectors);
      test::FormatVolume(d, type, 0, sectors);
      d.writes = 0;
      d.failWrite = n;
      auto v = Open(d, layout);
      const Status s = WriteTree(*v, tree);
      EXPECT_EQ(s.fault, Fault::WriteFailed) << "write " << n;
      EXPECT_EQ(s.cause, Failure::Errno(FailureKind::Write, SparseDevice::kErrorCode));
      v.reset();
    }
  }
}

}  // namespace
}  // namespace tessarin::fat
