// The card definition file as any bytes at all: the profile reader and the
// definition loading and matching must take them without harm.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "boot/card_definitions.h"
#include "boot/profile_text.h"
#include "unit/fakes.h"

using namespace tessarin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // Raw reads with names taken from the input itself.
  const ProfileText profile(text);
  const std::size_t cut = size / 2;
  const std::string section = text.substr(0, cut % 16);
  const std::string key = text.substr(cut, 16);
  const std::string value = ProfileGetString(&profile, section, key, "ERROR");
  if (value.size() > kProfileStringBuffer - 1) std::abort();
  (void)ProfileGetInt(&profile, section, key, -1);
  (void)ParseProfileInt(text);

  // The loader over the same text as the card definition file.
  test::World w;
  w.profile.SetFile(test::kDefinitionsPath, text);
  CList<CF_DEFINITION> list;
  if (LoadCardDefinitions(w.ctx.CardDefinitions(), list) != -1) std::abort();
  for (const CF_DEFINITION& d : list) {
    if (d.strModelNumber == "ERROR" || d.dCapacity < 0 || d.dCapacity > 4294967295.0 || d.nHeads == -1 ||
        d.nSectorsPerTrack == -1 || d.nCylinders == -1 || d.nSectorsPerCard == -1) {
      std::abort();
    }
  }
  double capacity = 0;
  for (std::size_t i = 0; i < size && i < 4; ++i) capacity = capacity * 256 + data[i];
  capacity *= 512;
  const auto found = FindCardDefinition(list, capacity);
  if (found && capacity > found->dCapacity * 1.1 + 1) std::abort();
  return 0;
}
