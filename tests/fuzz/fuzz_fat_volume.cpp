// Arbitrary volume images through the FAT layer: opened, walked, every
// file read, checked, then written to. Nothing may crash, loop or grow
// without bound.
//
// An input describes a sparse image, so that small inputs make volumes of
// every FAT type: 4 bytes of sector count (little-endian, at most 2^17),
// then records of a 4-byte sector number and that sector's 512 bytes;
// sectors no record names are zero.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fat/fat_volume.h"
#include "shared/sparse_device.h"

namespace {

using namespace tessarin;

constexpr std::uint32_t kMaxSectors = 1u << 17;  // 64 MiB: FAT32 needs 32 MiB at least

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

class CountingSink final : public fat::ByteSink {
 public:
  Failure Write(const std::uint8_t*, std::size_t size) override {
    bytes += size;
    return {};
  }
  std::uint64_t bytes = 0;
};

class TextSource final : public fat::ByteSource {
 public:
  explicit TextSource(std::size_t size) : left_(size) {}
  Chunk Read(std::uint8_t* buffer, std::size_t size) override {
    const std::size_t n = size < left_ ? size : left_;
    std::memset(buffer, 'x', n);
    left_ -= n;
    return {n, {}};
  }

 private:
  std::size_t left_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t sectors = Le32(data);
  if (sectors < 8) sectors = 8;
  if (sectors > kMaxSectors) sectors = kMaxSectors;
  test::SparseDevice device(sectors);
  for (std::size_t at = 4; at + 4 < size; at += 4 + fat::kDeviceSectorSize) {
    test::SparseDevice::Sector sector{};
    const std::size_t n = size - at - 4 < sector.size() ? size - at - 4 : sector.size();
    std::memcpy(sector.data(), data + at + 4, n);
    device.Put(Le32(data + at) % sectors, sector);
  }

  for (const bool writable : {false, true}) {
    fat::OpenOptions options;
    options.writable = writable;
    fat::OpenResult opened = fat::Volume::Open(device, 0, 0, options);
    if (!opened.status) return 0;
    fat::Volume& v = *opened.volume;
    (void)v.Info();

    std::string firstFolder, firstFile;
    CountingSink sink;
    std::size_t visited = 0;
    (void)v.Walk("", [&](const std::string& path, const fat::Entry& e) {
      ++visited;
      if (e.IsFolder() && firstFolder.empty()) firstFolder = path;
      if (!e.IsFolder()) {
        if (firstFile.empty()) firstFile = path;
        (void)v.ReadFile(e, sink);
      }
      return visited < 100000;
    });
    (void)v.List(firstFolder);
    (void)v.Find(firstFile);
    (void)v.Check();
    if (!writable) continue;

    // Changes on top of whatever the image holds.
    const std::string into = firstFolder.empty() ? std::string("new") : firstFolder + "/new";
    (void)v.MakeFolders(into + "/deeper");
    for (const char* name : {"alarm_log_0001.csv", "alarm_log_0002.csv", "README.TXT", "a.b.c"}) {
      TextSource source(3000);
      (void)v.WriteFile(into + "/" + name, source);
    }
    if (!firstFile.empty()) {
      TextSource source(100);
      (void)v.WriteFile(firstFile, source);
      (void)v.SetAttributes(firstFile, fat::kHidden);
    }
    (void)v.RemoveTree(into);
    if (!firstFolder.empty()) (void)v.RemoveTree(firstFolder);
    (void)v.Flush();
    (void)v.Check();
  }
  return 0;
}
