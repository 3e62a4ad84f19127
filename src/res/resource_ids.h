// The names of the program's resources and of its system-menu command, and
// the lists of them that the programs, the build's tools and the tests walk.
// The numbers come from res/resource_ids.def. The names are C++ constants:
// none of them is ever #defined where the Windows headers or our C++ code
// can see it (the resource scripts get theirs from a header of their own).
#pragma once

namespace tessarin {

// NOLINTBEGIN(bugprone-macro-parentheses): the macros declare names
#define TS_ICON(id, name, file) inline constexpr unsigned name = (id);
#define TS_CLIP(id, name, file) inline constexpr unsigned name = (id);
#define TS_DIALOG(id, name) inline constexpr unsigned name = (id);
#define TS_CONTROL(dialog, id, name) inline constexpr int name = (id);
#define TS_COMMAND(id, name) inline constexpr unsigned name = (id);
#define TS_BOOT_IMAGE(id, name, file) inline constexpr unsigned name = (id);
#include "res/resource_ids.def"
// NOLINTEND(bugprone-macro-parentheses)

// A resource made from a file of the build.
struct ResourceFile {
  unsigned id;
  const char* name;
  const char* file;
};

struct NamedId {
  unsigned id;
  const char* name;
};

struct DialogControl {
  unsigned dialog;
  int id;
  const char* name;
};

inline constexpr ResourceFile kIconResources[] = {
#define TS_ICON(id, name, file) {id, #name, file},
#include "res/resource_ids.def"
};

inline constexpr ResourceFile kClipResources[] = {
#define TS_CLIP(id, name, file) {id, #name, file},
#include "res/resource_ids.def"
};

inline constexpr ResourceFile kBootImageResources[] = {
#define TS_BOOT_IMAGE(id, name, file) {id, #name, file},
#include "res/resource_ids.def"
};

inline constexpr NamedId kDialogResources[] = {
#define TS_DIALOG(id, name) {id, #name},
#include "res/resource_ids.def"
};

inline constexpr NamedId kMenuCommands[] = {
#define TS_COMMAND(id, name) {id, #name},
#include "res/resource_ids.def"
};

inline constexpr DialogControl kDialogControls[] = {
#define TS_CONTROL(dialog, id, name) {dialog, id, #name},
#include "res/resource_ids.def"
};

}  // namespace tessarin
