// Any command line: the option is found or not, and a restore starts only
// for a drive the drive list would offer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "card/drive_rules.h"
#include "restore/unattended_restore.h"
#include "unit/fakes.h"

using namespace tessarin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string args(reinterpret_cast<const char*>(data), size);
  const auto drive = FindUnattendedDrive(args);
  if (!drive) return 0;
  if (drive->size() < 4 || drive->size() > 5 || drive->rfind("[-", 0) != 0 ||
      drive->substr(drive->size() - 2) != "-]") {
    std::abort();
  }

  test::World w;
  w.system.driveTypes['F'] = DriveType::Fixed;
  w.journal.clear();
  RunUnattendedRestore(w.ctx, *drive);
  const char letter = DriveLetter(*drive);
  const bool candidate = drive->size() == 5 && IsCardDriveCandidate(letter, w.system);
  if (!candidate && (w.journal.size() != 1 || w.ui.boxes.size() != 1)) std::abort();
  if (candidate && w.JournalOf("format").size() != 1) std::abort();
  if (w.device.liveBuffers != 0) std::abort();
  return 0;
}
