// The card held for the whole restore, from the checks before the question
// to the last write: an image file locked with flock, a block device opened
// with O_EXCL (no mount, no other exclusive user) and locked with flock on
// its node, the lock other disk tools and udev honour. A second restore of
// the same card is refused at once, naming the process that holds it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lx/card/card_target.h"

namespace tessarin::linux_port {

// One line of /proc/locks.
struct FileLock {
  std::string kind;  // FLOCK, POSIX, OFDLCK, ...
  pid_t pid = 0;     // -1 for locks that belong to no process (OFD locks)
  unsigned major = 0, minor = 0;
  ino_t inode = 0;
};
std::vector<FileLock> ParseProcLocks(std::string_view text);

// The process holding a lock on the file (device of its file system and
// inode), from a /proc/locks text; none when no process is named.
std::optional<pid_t> LockHolder(const std::vector<FileLock>& locks, dev_t fileSystem, ino_t inode, pid_t self);

// Why the card cannot be written at all, or empty: a card reader's
// write-protect switch (the block device's read-only flag), an image file
// without write permission (never written, even by root), a read-only file
// system.
std::string WhyCardIsReadOnly(const CardTarget& target);

class CardHold {
 public:
  // Takes the card; none with the reason in why (naming the process that
  // holds it when another restore does).
  static std::unique_ptr<CardHold> Take(const CardTarget& target, std::string& why);
  ~CardHold();
  CardHold(const CardHold&) = delete;
  CardHold& operator=(const CardHold&) = delete;

  // The descriptor the card's sectors are read and written through; -1
  // while the exclusive hold is suspended.
  int fd() const { return fd_; }

  // mkfs.fat opens a block device exclusively itself: the exclusive open is
  // let go while it runs, the lock stays, so another restore is still
  // refused. Nothing to do for an image.
  void SuspendExclusive();
  // Opens the device exclusively again. False, with errno set, when that
  // fails or the card behind the path is no longer the one held (pulled,
  // replaced, detached).
  bool ResumeExclusive();

  // True while the path still names the card taken (the same image file,
  // the same device with the same size); errno tells why not.
  bool StillTheCard() const;

  // Writes what the card's descriptor has pending through to the card.
  void Sync() const;

  // Noted before the first write of the restore (formatting, a sector):
  // from then on the card is no longer as it was.
  void NoteChange() { changed_ = true; }
  bool changed() const { return changed_; }

 private:
  explicit CardHold(const CardTarget& target) : target_(target) {}

  CardTarget target_;
  int fd_ = -1;      // read-write: the image, or the device opened with O_EXCL
  int lockFd_ = -1;  // the flock, on a descriptor for reading (device node or image)
  bool changed_ = false;
};

}  // namespace tessarin::linux_port
