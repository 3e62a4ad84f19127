// The application object: decides the system kind from the installer
// archive in the working directory, points help at the .chm file beside the
// executable and runs the main dialog.
#pragma once

#include <string>

#include "win32/ui/framework/app_base.h"

namespace tessarin::ui {

class CTessarinApp : public CAppBase {
 public:
  BOOL InitInstance() override;
};

// Every occurrence of `from` in text replaced by `to`, left to right, with
// exact (case-sensitive) matching.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);

}  // namespace tessarin::ui
