// Everything one restore works with: the platform's ports, the log and the
// system kind of the dialog.
#pragma once

#include "card/card_port.h"
#include "card/card_types.h"
#include "card/file_port.h"
#include "card/format_port.h"
#include "card/installer_port.h"
#include "card/operator_port.h"
#include "card/profile_port.h"
#include "card/resource_port.h"
#include "card/system_port.h"
#include "restore/operation_log.h"

namespace tessarin {

struct Ports {
  OperatorPort& ui;
  SystemPort& system;
  ResourcePort& resources;
  CardPort& card;
  FormatPort& format;
  InstallerPort& installer;
  FilePort& files;
  ProfilePort& profile;
};

class RestoreContext {
 public:
  explicit RestoreContext(const Ports& p) : ports(p), log(p.ui, p.system, p.resources) {}

  Ports ports;
  OperationLog log;

  // The dialog's own kind (m_nSystemKind); the size window reads it, while
  // the template, the loader and the installer follow g_nSystemKind.
  int m_nSystemKind = static_cast<int>(SystemKind::WinCE);
  // The dialog's members as the last exchange left them.
  std::string m_strDrive;
  bool m_bPreserveProject = true;

  int GetSystemKind() const { return m_nSystemKind; }
  // Stores only the kinds 1 to 3; other values are ignored.
  void SetSystemKind(int kind) {
    if (kind >= 1 && kind <= 3) m_nSystemKind = kind;
  }
};

}  // namespace tessarin
