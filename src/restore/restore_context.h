// Everything one restore works with: the platform's ports, the log and the
// dialog's members. Only the restore sequence and the unattended restore
// see it; each step below takes just the ports it uses.
#pragma once

#include <functional>
#include <string>

#include "boot/card_definitions.h"
#include "card/card_port.h"
#include "card/card_types.h"
#include "card/file_port.h"
#include "card/format_port.h"
#include "card/installer_port.h"
#include "card/operation_log.h"
#include "card/operator_port.h"
#include "card/profile_port.h"
#include "card/resource_port.h"
#include "card/system_kinds.h"
#include "card/system_port.h"

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

  // The dialog's own kind; the size window reads it, while the template,
  // the loader and the installer follow g_nSystemKind (see system_kinds.h).
  SystemKind m_nSystemKind = SystemKind::WinCE;
  // The dialog's members as the last exchange left them.
  std::string m_strDrive;
  bool m_bPreserveProject = true;

  // A saved copy the operator chose to put back on this card (its QV
  // folder), whatever the card carries; empty: the card's own, by its
  // mark.
  std::string m_strPutBackCopy;
  // The card definitions read when the working directory has none (the
  // Linux program's installed sample); empty on Windows.
  std::string m_strFallbackDefinitions;
  // How the operator puts a given saved copy back on this card, for the
  // log line that names copies saved from cards like it; empty where the
  // platform has no such command.
  std::function<std::string(const std::string& folder)> putBackCommand;

  SystemKind GetSystemKind() const { return m_nSystemKind; }
  // Stores only the kinds 1 to 3; other values are ignored.
  void SetSystemKind(int kind) {
    if (const auto k = SystemKindFromNumber(kind)) m_nSystemKind = *k;
  }
  void SetSystemKind(SystemKind kind) { SetSystemKind(static_cast<int>(kind)); }

  CardDefinitionSource CardDefinitions() {
    return CardDefinitionSource{ports.files, ports.profile, ports.resources, m_strFallbackDefinitions};
  }
};

}  // namespace tessarin
