#include "card/system_kinds.h"

#include <array>

#include "card/card_types.h"
#include "card/resource_port.h"
#include "res/string_ids.h"

namespace tessarin {

SystemKind g_nSystemKind = SystemKind::WinCE;

namespace {

constexpr const char* kRomDosFiles[] = {"IBMBIO.COM", "IBMDOS.COM"};
constexpr const char* kDosFiles[] = {"io.sys", "msdos.sys", "drvspace.bin"};
constexpr const char* kWinCeFiles[] = {"BLDR"};

// The ROM-DOS sector loads only the first sector of IBMBIO.COM; the BLDR
// loader reads 68 sectors from the file's first one on.
constexpr BootFileRule kRomDosBoot{BootFileSearch::FirstRootCluster, "IBMBIO  COM", "IBMBIO.COM", 1};
constexpr BootFileRule kDosBoot{};
constexpr BootFileRule kWinCeBoot{BootFileSearch::FirstRootSector, "BLDR       ", "BLDR", 68};

const std::array<SystemKindRecord, 3> kKinds = {{
    {SystemKind::RomDos, "ROM-DOS", IDS_ROMDOS_ARCHIVE, "-auto ", kRomDosFiles, kRomDosBoot, IDR_FAT16_BOOT, 0,
     std::nullopt, IDI_ROMDOS, IDA_ROMDOS, IDS_TITLE_ROMDOS},
    {SystemKind::Dos, "DOS", IDS_DOS_ARCHIVE, "-auto ", kDosFiles, kDosBoot, IDR_FAT32_BOOT, 0, std::nullopt, IDI_DOS,
     IDA_DOS, IDS_TITLE_DOS},
    {SystemKind::WinCE, "Windows CE", IDS_WINCE_ARCHIVE, "-y -o", kWinCeFiles, kWinCeBoot, IDR_FAT32_BOOT,
     IDR_BLDR_LOADER, SizeWindow{kMinCardCapacity, kMaxCardCapacity}, IDI_WINCE, IDA_WINCE, IDS_TITLE_WINCE},
}};

}  // namespace

std::span<const SystemKindRecord> SystemKinds() { return kKinds; }

const SystemKindRecord* FindSystemKind(SystemKind kind) {
  for (const SystemKindRecord& r : kKinds) {
    if (r.kind == kind) return &r;
  }
  return nullptr;
}

const SystemKindRecord& SystemKindFacts(SystemKind kind) {
  const SystemKindRecord* r = FindSystemKind(kind);
  return r != nullptr ? *r : *FindSystemKind(SystemKind::Dos);
}

std::optional<SystemKind> SystemKindFromNumber(int number) {
  const SystemKind kind = static_cast<SystemKind>(number);
  if (FindSystemKind(kind) == nullptr) return std::nullopt;
  return kind;
}

bool SameEntryName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ToUpperAscii(a[i]) != ToUpperAscii(b[i])) return false;
  }
  return true;
}

std::optional<SystemKind> DetectSystemKind(const std::function<bool(const std::string&)>& entryExists,
                                           const std::function<std::string(unsigned)>& loadString) {
  for (const SystemKindRecord& r : kKinds) {
    const std::string name = loadString(r.archiveString);
    if (!name.empty() && entryExists(name)) return r.kind;
  }
  return std::nullopt;
}

}  // namespace tessarin
