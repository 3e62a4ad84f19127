#include "card/content_digest.h"

#include <algorithm>
#include <cstring>

namespace tessarin {
namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;

constexpr std::uint64_t Rotate(std::uint64_t v, int by) { return (v << by) | (v >> (64 - by)); }

// Little-endian whatever the machine: the digest of a file is the same
// wherever it is taken.
std::uint64_t Word(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

constexpr std::uint64_t Round(std::uint64_t lane, std::uint64_t word) {
  return Rotate(lane + word * kPrime2, 31) * kPrime1;
}

constexpr std::uint64_t Avalanche(std::uint64_t h) {
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

void Stripe(std::array<std::uint64_t, 4>& lanes, const std::uint8_t* p) {
  for (std::size_t i = 0; i < 4; ++i) lanes[i] = Round(lanes[i], Word(p + 8 * i));
}

}  // namespace

ContentDigest::ContentDigest() : lanes_{kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1} {}

void ContentDigest::Add(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return;  // an empty file's data may be a null pointer
  length_ += size;
  if (pendingSize_ > 0) {
    const std::size_t n = std::min(size, pending_.size() - pendingSize_);
    std::memcpy(pending_.data() + pendingSize_, bytes, n);
    pendingSize_ += n;
    bytes += n;
    size -= n;
    if (pendingSize_ < pending_.size()) return;
    Stripe(lanes_, pending_.data());
    pendingSize_ = 0;
  }
  for (; size >= pending_.size(); bytes += pending_.size(), size -= pending_.size()) Stripe(lanes_, bytes);
  std::memcpy(pending_.data(), bytes, size);
  pendingSize_ = size;
}

std::uint64_t ContentDigest::Value() const {
  std::uint64_t h = Rotate(lanes_[0], 1) + Rotate(lanes_[1], 7) + Rotate(lanes_[2], 12) + Rotate(lanes_[3], 18);
  for (std::uint64_t lane : lanes_) h = (h ^ Round(0, lane)) * kPrime1 + kPrime4;
  h += length_;
  std::size_t at = 0;
  for (; at + 8 <= pendingSize_; at += 8) h = Rotate(h ^ Round(0, Word(pending_.data() + at)), 27) * kPrime1 + kPrime4;
  for (; at < pendingSize_; ++at) h = Rotate(h ^ (pending_[at] * kPrime4), 11) * kPrime1;
  return Avalanche(h);
}

std::uint64_t DigestOf(const std::uint8_t* bytes, std::size_t size) {
  ContentDigest d;
  d.Add(bytes, size);
  return d.Value();
}

}  // namespace tessarin
