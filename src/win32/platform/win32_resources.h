// The string table and the boot images from a module's resources.
#pragma once

#include <windows.h>

#include "card/resource_port.h"

namespace tessarin {

class Win32Resources : public ResourcePort {
 public:
  // module: where the resources are; none means this program's own file.
  explicit Win32Resources(HMODULE module = nullptr) : module_(module ? module : GetModuleHandleA(nullptr)) {}

  // LoadStringA, never cut short.
  std::string LoadResString(unsigned id) override;
  // FindResourceA(module, id, "Binary"), LoadResource, LockResource and
  // SizeofResource; the error is GetLastError's when one of them fails.
  ImageLoad LoadBootImage(unsigned id) override;

 private:
  HMODULE module_;
};

}  // namespace tessarin
