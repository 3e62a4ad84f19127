// The Windows ports of one program run, bundled into the restore's context.
#pragma once

#include <windows.h>

#include "card/handle_card.h"
#include "restore/restore_context.h"
#include "win32/card/format_card.h"
#include "win32/card/win32_device_api.h"
#include "win32/install/win32_files.h"
#include "win32/install/win32_installer.h"
#include "win32/platform/win32_profile.h"
#include "win32/platform/win32_resources.h"
#include "win32/platform/win32_system.h"

namespace tessarin {

class Win32Platform {
 public:
  explicit Win32Platform(OperatorPort& ui)
      : cardLog(ui, system, resources),
        card(device, cardLog),
        ctx(Ports{ui, system, resources, card, format, installer, files, profile}) {}

  Win32System system;
  Win32Resources resources;
  Win32DeviceApi device;
  OperationLog cardLog;
  HandleCard card;
  Win32Format format;
  Win32Installer installer;
  Win32Files files;
  Win32Profile profile;
  RestoreContext ctx;
};

}  // namespace tessarin
