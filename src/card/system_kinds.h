// The panel systems the restore serves, and everything that differs between
// them, in one record per kind.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessarin {

// Decided at start-up by the installer archive found in the working
// directory; Windows CE when none is found.
enum class SystemKind : int { RomDos = 1, Dos = 2, WinCE = 3 };

// A card size range in bytes; both bounds pass.
struct SizeWindow {
  double min;
  double max;
};

// The size window of Windows CE cards.
inline constexpr double kMinCardCapacity = 6.0e7;
inline constexpr double kMaxCardCapacity = 4.2e9;

// How the volume boot sector's code finds the file it starts, which it
// does without a file system of its own: how far into the root folder it
// looks for the name, and how many of the file's sectors it reads in a row
// without following the FAT chain.
enum class BootFileSearch {
  None,              // no file: the code goes on in the volume's sector 12
  FirstRootSector,   // the entries of the root folder's first sector
  FirstRootCluster,  // the entries of the root folder's first cluster (the
                     // whole root folder where FAT12/16 keep it apart)
};

struct BootFileRule {
  BootFileSearch search = BootFileSearch::None;
  const char* name = nullptr;  // as the root folder stores it, "BLDR       "
  const char* fileName = "";   // as the operator reads it, "BLDR"
  unsigned sectorsInARow = 0;  // from the file's first sector on
};

struct SystemKindRecord {
  SystemKind kind;
  const char* name;                          // how the Linux program names the system
  unsigned archiveString;                    // string-table ID of the installer archive's file name
  const char* installerOptions;              // between the archive's name and the card's root
  std::span<const char* const> systemFiles;  // in the card's root, in marking order
  BootFileRule bootFile;                     // what the boot sector starts
  unsigned bootTemplate;                     // boot image of the volume boot sector
  unsigned loader;                           // boot image laid over its code, 0 for none
  std::optional<SizeWindow> sizeWindow;      // cards outside it are refused
  unsigned icon;                             // window icon
  unsigned clip;                             // progress animation
  unsigned title;                            // string-table ID of the window title
};

// Every kind, in the order start-up probes their archives.
std::span<const SystemKindRecord> SystemKinds();

// The record of a kind; none for a value outside the enumeration.
const SystemKindRecord* FindSystemKind(SystemKind kind);
// The record of a kind; a value outside the enumeration gets the DOS one,
// as the installer of an unknown kind has always been the DOS archive.
const SystemKindRecord& SystemKindFacts(SystemKind kind);

// The kinds 1 to 3 by number; none for any other number.
std::optional<SystemKind> SystemKindFromNumber(int number);

// The kind is kept twice, on purpose:
// - the dialog's own kind (CTessarinDlg::m_nSystemKind, RestoreContext::
//   m_nSystemKind), set by start-up; the boot sector's size window reads it;
// - the process-wide copy g_nSystemKind, published by the dialog's
//   initialisation before any restore runs; the boot template, the loader,
//   the installer and the system files follow it.
// The dialog makes the two equal before the first restore, so they differ
// only where a caller sets one without the other.
extern SystemKind g_nSystemKind;

// True when two directory entry names are the same name to the Windows file
// system, which compares them without regard to case.
bool SameEntryName(std::string_view a, std::string_view b);

// The kind the working directory selects: the archives' names are probed in
// order (ROM-DOS, DOS, Windows CE) and the first one present wins. Any
// directory entry of that name counts, file or folder; entryExists answers
// for one name, compared as the Windows file system compares names. A name
// that cannot be loaded (empty) never matches. None when no archive is
// there: the caller keeps its kind (Windows CE).
std::optional<SystemKind> DetectSystemKind(const std::function<bool(const std::string&)>& entryExists,
                                           const std::function<std::string(unsigned)>& loadString);

}  // namespace tessarin
