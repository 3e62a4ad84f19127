#include "lx/card/card_fat.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "card/card_types.h"
#include "lx/card/card_hold.h"

namespace tessarin::linux_port {

CardFat::CardFat(const CardTarget& target, char letter, CardHold* hold)
    : target_(target), letter_(ToLowerAscii(letter)), hold_(hold) {}

bool CardFat::IsCardPath(const std::string& path) const {
  return path.size() >= 2 && ToLowerAscii(path[0]) == letter_ && path[1] == ':' &&
         (path.size() == 2 || path[2] == '/' || path[2] == '\\');
}

std::string CardFat::VolumePath(const std::string& cardPath) {
  std::string p = cardPath.size() >= 2 && cardPath[1] == ':' ? cardPath.substr(2) : cardPath;
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

CardSession CardFat::Open(bool writable, bool fromMedium) const {
  CardSession s;
  int error = 0;
  if (hold_ == nullptr) {
    s.device = CardDevice::Open(target_.path, target_.blockDevice, writable, error);
  } else {
    struct stat st {};
    if (writable && !target_.blockDevice && stat(target_.path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0) {
      error = EACCES;  // an image made write-protected meanwhile stays untouched even for root
    } else if (!hold_->ResumeExclusive()) {
      error = errno != 0 ? errno : ENODEV;  // pulled, replaced, or no longer ours
    } else {
      // Writes through the FAT layer change the card as much as a sector's.
      if (writable) hold_->NoteChange();
      const int fd = fcntl(hold_->fd(), F_DUPFD_CLOEXEC, 3);
      if (fd < 0)
        error = errno;
      else
        s.device = CardDevice::Adopt(fd, target_.blockDevice, error);
    }
  }
  if (!s.device) {
    s.status = {
        writable ? fat::Fault::WriteFailed : fat::Fault::ReadFailed,
        Failure::Errno(error == EACCES || error == EROFS ? FailureKind::WriteProtected : FailureKind::Open, error)};
    s.why = target_.path + ": " + std::strerror(error);
    return s;
  }
  if (fromMedium) {
    if (const Failure dropped = s.device->ReadFromMedium()) {
      s.status = {fat::Fault::WriteFailed, dropped};
      s.why = target_.path + ": " + std::strerror(static_cast<int>(dropped.code));
      s.device.reset();
      return s;
    }
  }
  fat::OpenOptions options;
  options.writable = writable;
  options.clock = [] { return FromStamp(LocalStamp(std::time(nullptr))); };
  fat::OpenResult r = fat::Volume::Open(*s.device, target_.partitionStart, target_.partitionSectors, options);
  s.status = r.status;
  if (!r.status) {
    s.why = Explain(r.status);
    s.device.reset();
    return s;
  }
  s.volume = std::move(r.volume);
  return s;
}

PathPresence CardFat::Probe(const std::string& cardPath, std::string* why) const {
  const CardSession s = Open(false);
  // A card that was never formatted holds nothing.
  if (s.status.fault == fat::Fault::Blank) return PathPresence::Absent;
  fat::Status found = s.status;
  if (s.volume) found = s.volume->Find(VolumePath(cardPath)).status;
  if (found.ok()) return PathPresence::Present;
  if (found.fault == fat::Fault::NotFound || found.fault == fat::Fault::NotAFolder) return PathPresence::Absent;
  // What cannot be read is not known to be absent: it may hold the
  // operator's data.
  if (why != nullptr) *why = s.volume ? Explain(found) : s.why;
  return PathPresence::Unreadable;
}

std::string Explain(const fat::Status& status) {
  std::string text = fat::Describe(status.fault);
  if (status.cause.origin == CodeOrigin::Errno) {
    text += std::string(": ") + std::strerror(static_cast<int>(status.cause.code));
  } else if (status.cause) {
    text += std::string(": ") + FailureSentence(status.cause.kind);
  }
  return text;
}

fat::Stamp LocalStamp(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return fat::ToStamp(
      {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec});
}

std::time_t LocalTime(const fat::Stamp& s) {
  const fat::CivilTime c = fat::FromStamp(s);
  std::tm local{};
  local.tm_year = c.year - 1900;
  local.tm_mon = c.month - 1;
  local.tm_mday = c.day;
  local.tm_hour = c.hour;
  local.tm_min = c.minute;
  local.tm_sec = c.second;
  local.tm_isdst = -1;  // as the zone's rules have it on that day
  return std::mktime(&local);
}

}  // namespace tessarin::linux_port
