#include "card/content_digest.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace tessarin {
namespace {

std::vector<std::uint8_t> Bytes(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 131 + (i >> 7));
  return b;
}

TEST(ContentDigest, PiecesGiveTheDigestOfTheWhole) {
  // Lengths around the 32-byte stripes and the 8-byte words of the tail.
  for (std::size_t size : {0u, 1u, 7u, 8u, 31u, 32u, 33u, 63u, 64u, 100u, 4096u, 70001u}) {
    SCOPED_TRACE(size);
    const std::vector<std::uint8_t> b = Bytes(size, 5);
    const std::uint64_t whole = DigestOf(b.data(), b.size());
    for (std::size_t piece : {1u, 3u, 32u, 1000u}) {
      ContentDigest d;
      for (std::size_t at = 0; at < size; at += piece) d.Add(b.data() + at, std::min(piece, size - at));
      EXPECT_EQ(d.Value(), whole) << piece;
      EXPECT_EQ(d.length(), size);
    }
  }
}

TEST(ContentDigest, AnyChangedByteOrLengthChangesIt) {
  const std::vector<std::uint8_t> original = Bytes(4096, 9);
  const std::uint64_t digest = DigestOf(original.data(), original.size());
  std::set<std::uint64_t> seen{digest};
  // One bit anywhere: in the stripes, in the tail, first and last byte.
  for (std::size_t at : {0u, 1u, 31u, 32u, 2047u, 4064u, 4090u, 4095u}) {
    for (std::uint8_t bit : {0x01, 0x80}) {
      std::vector<std::uint8_t> changed = original;
      changed[at] ^= bit;
      EXPECT_TRUE(seen.insert(DigestOf(changed.data(), changed.size())).second) << at << " " << int{bit};
    }
  }
  // Zeros of different lengths, and a sector dropped at the end.
  const std::vector<std::uint8_t> zeros(1024, 0);
  for (std::size_t size : {0u, 1u, 8u, 32u, 512u, 1024u}) EXPECT_TRUE(seen.insert(DigestOf(zeros.data(), size)).second);
  EXPECT_NE(DigestOf(original.data(), 3584), digest);
  // Two sectors swapped.
  std::vector<std::uint8_t> swapped = original;
  std::swap_ranges(swapped.begin(), swapped.begin() + 512, swapped.begin() + 512);
  EXPECT_NE(DigestOf(swapped.data(), swapped.size()), digest);
}

}  // namespace
}  // namespace tessarin
