// Raw access to the card: exclusive hold of its volume and physical disk,
// and the four single-sector transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "card/failure.h"

namespace tessarin {

inline constexpr std::size_t kSectorSize = 512;

class CardPort;

// One sector of memory for a raw transfer, handed out by the card port
// (page-aligned on Windows) and given back to it when the buffer goes away,
// on every path.
class SectorBuffer {
 public:
  SectorBuffer() = default;
  SectorBuffer(std::uint8_t* bytes, CardPort* owner) : bytes_(bytes), owner_(owner) {}
  SectorBuffer(SectorBuffer&& o) noexcept : bytes_(std::exchange(o.bytes_, nullptr)), owner_(o.owner_) {}
  SectorBuffer& operator=(SectorBuffer&& o) noexcept;
  SectorBuffer(const SectorBuffer&) = delete;
  SectorBuffer& operator=(const SectorBuffer&) = delete;
  ~SectorBuffer() { Release(); }

  explicit operator bool() const { return bytes_ != nullptr; }
  std::uint8_t* data() { return bytes_; }
  const std::uint8_t* data() const { return bytes_; }
  void Release();

 private:
  std::uint8_t* bytes_ = nullptr;
  CardPort* owner_ = nullptr;
};

// Whether the card can be written at all.
enum class WriteProtection { Writable, WriteProtected, Unknown };

class CardPort {
 public:
  virtual ~CardPort() = default;

  // Asks the card, without holding it, whether it can be written (a card
  // reader reports the card's lock switch); Unknown when it cannot tell.
  virtual WriteProtection QueryWriteProtection(const std::string& /*driveEntry*/) { return WriteProtection::Unknown; }

  // Where the card is, in the operator's terms: its drive ("E:"), or on a
  // platform without drive letters the card's device or file.
  virtual std::string Location(const std::string& driveEntry) const {
    std::string where(1, driveEntry.size() > 2 ? driveEntry[2] : '?');
    if (where[0] >= 'a' && where[0] <= 'z') where[0] = static_cast<char>(where[0] - 'a' + 'A');
    return where + ":";
  }

  // Acquires (lock true) or releases (lock false) the card named by the
  // drive entry. Acquiring returns 1 once the card is held and 0 after the
  // platform has stopped the animation and told the operator why it could
  // not; releasing always returns 1.
  virtual int SetVolumeLock(const std::string& driveEntry, bool lock) = 0;

  // True when the last acquisition could not open the card's volume; the
  // boot-record steps test it before any transfer.
  virtual bool IsVolumeHandleInvalid() const = 0;

  // Sector 0 of the physical disk and the volume's first sector. True only
  // when all 512 bytes moved.
  virtual bool ReadMbrSector(const std::string& driveEntry, SectorBuffer& buffer) = 0;
  virtual bool WriteMbrSector(const std::string& driveEntry, const SectorBuffer& buffer) = 0;
  virtual bool ReadVolumeBootSector(const std::string& driveEntry, SectorBuffer& buffer) = 0;
  virtual bool WriteVolumeBootSector(const std::string& driveEntry, const SectorBuffer& buffer) = 0;

  // The same two sectors read again after a write, from the card itself
  // rather than from what the system keeps of them: what was written is
  // first pushed out of the platform's caches onto the card, then read
  // past them. The boot-record steps compare the answer with what they
  // wrote, since readers that drop writes without an error exist. True
  // only when the flush succeeded and all 512 bytes were read.
  virtual bool ReadBackMbrSector(const std::string& driveEntry, SectorBuffer& buffer) = 0;
  virtual bool ReadBackVolumeBootSector(const std::string& driveEntry, SectorBuffer& buffer) = 0;

  // Sector N of the card's volume, counted from its first sector, for the
  // checks that follow the installer. The card need not be held: the file
  // system the installer wrote through is first asked to put everything on
  // the card. True only when all 512 bytes were read.
  virtual bool ReadVolumeSector(const std::string& driveEntry, std::uint64_t sector, SectorBuffer& buffer) = 0;

  // What the last failed call ran into.
  virtual Failure LastError() const = 0;

  // A zero-filled sector buffer; an empty one when memory is short.
  virtual SectorBuffer AllocateSector() = 0;

 protected:
  friend class SectorBuffer;
  virtual void FreeSector(std::uint8_t* bytes) = 0;
};

inline SectorBuffer& SectorBuffer::operator=(SectorBuffer&& o) noexcept {
  if (this != &o) {
    Release();
    bytes_ = std::exchange(o.bytes_, nullptr);
    owner_ = o.owner_;
  }
  return *this;
}

inline void SectorBuffer::Release() {
  if (bytes_ != nullptr && owner_ != nullptr) owner_->FreeSector(bytes_);
  bytes_ = nullptr;
}

}  // namespace tessarin
