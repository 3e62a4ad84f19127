// A sector device in memory that keeps only sectors that are not zero, so
// that volumes of gigabytes cost what their metadata costs; with failures
// on demand for the fault-injection tests.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <unordered_map>

#include "fat/sector_device.h"

namespace tessarin::test {

class SparseDevice final : public fat::SectorDevice {
 public:
  using Sector = std::array<std::uint8_t, fat::kDeviceSectorSize>;

  explicit SparseDevice(std::uint64_t sectors) : sectors_(sectors) {}

  std::uint64_t SectorCount() const override { return sectors_; }

  Failure ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* bytes) override {
    ++reads;
    if (reads == failRead || (unreadableFrom <= lba + count - 1 && lba <= unreadableTo))
      return Failure::Errno(FailureKind::Read, kErrorCode);
    if (lba + count > sectors_) return Failure::Errno(FailureKind::Read, kErrorCode);
    for (std::uint32_t i = 0; i < count; ++i, bytes += fat::kDeviceSectorSize) {
      const auto it = data_.find(lba + i);
      if (it == data_.end()) {
        std::memset(bytes, 0, fat::kDeviceSectorSize);
      } else {
        std::memcpy(bytes, it->second.data(), fat::kDeviceSectorSize);
      }
    }
    return {};
  }

  Failure WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* bytes) override {
    ++writes;
    if (writes == failWrite) return Failure::Errno(FailureKind::Write, kErrorCode);
    if (lba + count > sectors_) return Failure::Errno(FailureKind::Write, kErrorCode);
    for (std::uint32_t i = 0; i < count; ++i, bytes += fat::kDeviceSectorSize) {
      if (lba + i >= discardFrom) continue;
      if (std::all_of(bytes, bytes + fat::kDeviceSectorSize, [](std::uint8_t b) { return b == 0; })) {
        data_.erase(lba + i);
      } else {
        std::memcpy(data_[lba + i].data(), bytes, fat::kDeviceSectorSize);
      }
    }
    return {};
  }

  Failure Flush() override {
    ++flushes;
    return {};
  }

  // Direct access for setting up and spoiling volumes.
  Sector Get(std::uint64_t lba) const {
    const auto it = data_.find(lba);
    return it == data_.end() ? Sector{} : it->second;
  }
  void Put(std::uint64_t lba, const Sector& sector) { data_[lba] = sector; }
  void Zero(std::uint64_t lba, std::uint64_t count = 1) {
    if (count <= data_.size()) {
      for (std::uint64_t i = 0; i < count; ++i) data_.erase(lba + i);
      return;
    }
    for (auto it = data_.begin(); it != data_.end();) it = it->first - lba < count ? data_.erase(it) : std::next(it);
  }
  std::size_t StoredSectors() const { return data_.size(); }
  const std::unordered_map<std::uint64_t, Sector>& Stored() const { return data_; }

  static constexpr int kErrorCode = 5;  // EIO: the code a platform would give

  std::uint64_t reads = 0, writes = 0, flushes = 0;
  std::uint64_t failRead = 0, failWrite = 0;  // the call (counted from 1) that fails; 0: none
  std::uint64_t unreadableFrom = ~0ull, unreadableTo = 0;
  std::uint64_t discardFrom = ~0ull;  // writes from here on vanish (file data no test reads back)

 private:
  std::uint64_t sectors_;
  std::unordered_map<std::uint64_t, Sector> data_;
};

}  // namespace tessarin::test
