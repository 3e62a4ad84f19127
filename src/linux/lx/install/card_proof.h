// Proof that the card holds what the restore wrote to it: each file's
// bytes are digested as they go onto the card, and after the step the card
// is read again, past the kernel's cache, and every file compared with
// what was written (its name, short name, size, contents and attributes).
// Card readers that drop or garble writes without an error, and cards
// that wear out, are found here rather than on the panel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card/content_digest.h"
#include "fat/fat_volume.h"
#include "lx/support/step_progress.h"

namespace tessarin::linux_port {

// A source whose bytes are digested on their way through.
class DigestingSource final : public fat::ByteSource {
 public:
  explicit DigestingSource(fat::ByteSource& inner) : inner_(inner) {}
  Chunk Read(std::uint8_t* buffer, std::size_t size) override {
    const Chunk chunk = inner_.Read(buffer, size);
    if (!chunk.failure) digest_.Add(buffer, chunk.bytes);
    return chunk;
  }
  const ContentDigest& digest() const { return digest_; }

 private:
  fat::ByteSource& inner_;
  ContentDigest digest_;
};

// What one entry must look like on the card.
struct WrittenEntry {
  std::string path;  // in the volume, "Project/a.txt"
  bool folder = false;
  std::uint64_t size = 0;
  std::uint64_t digest = 0;
  // Checked only when set: the short name the entry was given, and its
  // read-only, hidden, system and archive bits.
  std::optional<std::string> shortName;
  std::optional<std::uint8_t> attributes;
};

// Compares the entries below a folder of the volume ("" for the whole
// volume) with what was written there: one sentence per entry that
// differs ("NK.BIN: its contents differ ..."), none when every one is as
// written. The volume should have been opened from the medium
// (CardFat::Open with fromMedium). progress, when given, hears the bytes
// read back of the whole.
std::vector<std::string> ProveEntries(fat::Volume& volume, const std::string& folder,
                                      const std::vector<WrittenEntry>& written, StepProgress* progress = nullptr);

// The read-only, hidden, system and archive bits of an entry.
inline std::uint8_t CardAttributes(std::uint8_t attributes) {
  return attributes & (fat::kReadOnly | fat::kHidden | fat::kSystem | fat::kArchive);
}

}  // namespace tessarin::linux_port
