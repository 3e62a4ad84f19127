// The bytes a long step moves, counted on their way to or from the card, so
// that its progress can say how much of the whole is done.
#pragma once

#include <algorithm>
#include <cstdint>

#include "fat/fat_volume.h"
#include "lx/support/step_progress.h"

namespace tessarin::linux_port {

class ByteCount {
 public:
  ByteCount(StepProgress& progress, std::uint64_t total) : progress_(progress), total_(total) {
    progress_.Advance(0, total_);
  }
  void Add(std::uint64_t bytes) {
    if (bytes == 0) return;
    // Never beyond the whole: a file read in part and then counted whole.
    done_ = bytes > total_ - std::min(done_, total_) ? std::max(done_, total_) : done_ + bytes;
    progress_.Advance(done_, total_);
  }

 private:
  StepProgress& progress_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
};

// A source whose bytes are counted as they are read.
class CountedSource final : public fat::ByteSource {
 public:
  CountedSource(fat::ByteSource& inner, ByteCount& count) : inner_(inner), count_(count) {}
  Chunk Read(std::uint8_t* buffer, std::size_t size) override {
    const Chunk chunk = inner_.Read(buffer, size);
    count_.Add(chunk.bytes);
    return chunk;
  }

 private:
  fat::ByteSource& inner_;
  ByteCount& count_;
};

// A sink whose bytes are counted as they are stored.
class CountedSink final : public fat::ByteSink {
 public:
  CountedSink(fat::ByteSink& inner, ByteCount& count) : inner_(inner), count_(count) {}
  Failure Write(const std::uint8_t* bytes, std::size_t size) override {
    Failure failure = inner_.Write(bytes, size);
    if (!failure) count_.Add(size);
    return failure;
  }

 private:
  fat::ByteSink& inner_;
  ByteCount& count_;
};

}  // namespace tessarin::linux_port
