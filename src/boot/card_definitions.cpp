#include "boot/card_definitions.h"

#include "boot/profile_text.h"
#include "res/string_ids.h"

namespace tessarin {

std::string CardDefinitionsFile(const CardDefinitionSource& source) {
  // The working directory, not the program's folder; the separator is put
  // in even after a drive's root, which the system accepts.
  std::string local =
      source.files.CurrentDirectory() + source.files.Separator() + source.resources.LoadResString(IDS_CFDEF_FILE);
  if (source.files.CanOpenForReading(local)) return local;
  if (!source.fallbackFile.empty() && source.files.CanOpenForReading(source.fallbackFile)) return source.fallbackFile;
  return {};
}

int LoadCardDefinitions(const CardDefinitionSource& source, CList<CF_DEFINITION>& definitions) {
  ResourcePort& res = source.resources;
  const std::string path = CardDefinitionsFile(source);
  if (path.empty()) return IDS_NO_DEFINITION_FILE;

  const std::string keyModel = res.LoadResString(IDS_KEY_MODEL_NUMBER);
  const std::string keyCapacity = res.LoadResString(IDS_KEY_CAPACITY);
  const std::string keySectors = res.LoadResString(IDS_KEY_SECTORS_PER_CARD);
  const std::string keyHeads = res.LoadResString(IDS_KEY_HEADS);
  const std::string keyTrack = res.LoadResString(IDS_KEY_SECTORS_PER_TRACK);
  const std::string keyCylinders = res.LoadResString(IDS_KEY_CYLINDERS);

  ProfilePort& profile = source.profile;
  for (int i = 0;; ++i) {
    const std::string section = "CF" + std::to_string(i);
    CF_DEFINITION def;
    def.strModelNumber = profile.ReadProfileString(section, keyModel, "ERROR", path);
    if (def.strModelNumber == "ERROR") break;
    const int capacity = profile.ReadProfileInt(section, keyCapacity, -1, path);
    if (capacity == -1) break;
    def.dCapacity = static_cast<double>(static_cast<unsigned>(capacity));
    // A capacity beyond 32 bits would read as what is left of it after the
    // wrap-around and match cards of a quite different size: it is no
    // capacity, and the definition matches no card.
    if (!ProfileIntFits32Bits(profile.ReadProfileString(section, keyCapacity, "", path))) def.dCapacity = 0;
    def.nSectorsPerCard = profile.ReadProfileInt(section, keySectors, -1, path);
    if (def.nSectorsPerCard == -1) break;
    def.nHeads = profile.ReadProfileInt(section, keyHeads, -1, path);
    if (def.nHeads == -1) break;
    def.nSectorsPerTrack = profile.ReadProfileInt(section, keyTrack, -1, path);
    if (def.nSectorsPerTrack == -1) break;
    def.nCylinders = profile.ReadProfileInt(section, keyCylinders, -1, path);
    if (def.nCylinders == -1) break;
    definitions.push_back(def);
  }
  return -1;
}

std::optional<CF_DEFINITION> FindCardDefinition(const CList<CF_DEFINITION>& definitions, double capacity) {
  const std::vector<CF_DEFINITION> records(definitions.begin(), definitions.end());
  const int found = MatchCardDefinition(records.data(), capacity, 0, static_cast<int>(records.size()));
  if (found < 0) return std::nullopt;
  return records[static_cast<std::size_t>(found)];
}

int MatchCardDefinition(const CF_DEFINITION* records, double capacity, int start, int count) {
  if (start < 0 || start >= count) return -1;
  for (int i = start; i < count; ++i) {
    if (!IsUsableDefinition(records[i])) continue;
    const double reach = records[i].dCapacity + records[i].dCapacity * kCapacityTolerance;
    if (capacity <= reach) return i;
  }
  return -1;
}

bool IsUsableDefinition(const CF_DEFINITION& d) {
  return d.nHeads >= 1 && d.nHeads <= 255 && d.nSectorsPerTrack >= 1 && d.nSectorsPerTrack <= 63 && d.dCapacity > 0;
}

DriveGeometry DefinitionGeometry(const CF_DEFINITION& definition) {
  return DriveGeometry{static_cast<std::uint16_t>(definition.nHeads & 0xFFFF),
                       static_cast<std::uint16_t>(definition.nSectorsPerTrack & 0xFFFF)};
}

}  // namespace tessarin
