// A 64-bit digest of a file's contents, to tell whether what a card gives
// back is what was written to it. It guards against cards and readers that
// lose or garble data, not against anyone who forges it: fast enough to
// run over every byte of a restore twice (as the bytes go onto the card,
// and as they are read back) without slowing the restore noticeably.
//
// Four lanes take 32 bytes at a time, each 8-byte word multiplied,
// rotated and multiplied again; the tail and the length are mixed in at
// the end. Bytes given in one piece or in many give the same digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessarin {

class ContentDigest {
 public:
  ContentDigest();

  void Add(const std::uint8_t* bytes, std::size_t size);
  // The digest of everything added so far; adding may go on afterwards.
  std::uint64_t Value() const;
  std::uint64_t length() const { return length_; }

 private:
  std::array<std::uint64_t, 4> lanes_;
  std::array<std::uint8_t, 32> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t length_ = 0;
};

// The digest of bytes in one piece.
std::uint64_t DigestOf(const std::uint8_t* bytes, std::size_t size);

}  // namespace tessarin
