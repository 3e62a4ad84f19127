// A file's contents in memory, handed to the FAT layer's writes and taken
// from its reads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "fat/fat_volume.h"

namespace tessarin::test {

// Hands out text in pieces of at most piece bytes (by default as much as
// each read asks for).
class TextSource final : public fat::ByteSource {
 public:
  explicit TextSource(std::string text, std::size_t piece = std::numeric_limits<std::size_t>::max())
      : text_(std::move(text)), piece_(piece) {}
  Chunk Read(std::uint8_t* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, piece_, text_.size() - at_});
    std::memcpy(buffer, text_.data() + at_, n);
    at_ += n;
    return {n, {}};
  }

 private:
  std::string text_;
  std::size_t piece_;
  std::size_t at_ = 0;
};

// Keeps what a read hands it.
class TextSink final : public fat::ByteSink {
 public:
  Failure Write(const std::uint8_t* bytes, std::size_t size) override {
    data.append(reinterpret_cast<const char*>(bytes), size);
    return {};
  }
  std::string data;
};

}  // namespace tessarin::test
