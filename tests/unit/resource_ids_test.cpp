// Each resource identifier's number is written once, in
// src/res/resource_ids.def; every other place names it. These tests look
// through the sources of the programs, the tools and the tests for a listed
// number written where an identifier goes.
#include "res/resource_ids.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin {
namespace {

// Every listed number, with the names it stands for.
std::map<unsigned, std::string> ListedNumbers() {
  std::map<unsigned, std::string> listed;
  const auto add = [&](unsigned id, const char* name) {
    std::string& names = listed[id];
    names += (names.empty() ? "" : ", ") + std::string(name);
  };
  for (const ResourceFile& r : kIconResources) add(r.id, r.name);
  for (const ResourceFile& r : kClipResources) add(r.id, r.name);
  for (const ResourceFile& r : kBootImageResources) add(r.id, r.name);
  for (const NamedId& r : kDialogResources) add(r.id, r.name);
  for (const NamedId& r : kMenuCommands) add(r.id, r.name);
  for (const DialogControl& c : kDialogControls) add(static_cast<unsigned>(c.id), c.name);
  return listed;
}

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }
bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}
std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

struct Number {
  std::size_t begin, end;  // [begin, end) in the line
  unsigned long value;
  bool hex;
  bool quoted;  // inside a string literal
};

// The integer literals of a line, decimal or 0x..., with an optional u or
// l suffix; not parts of names, decimal fractions, versions ("1.7"),
// negative numbers, sizes such as "128MB" or numbers with separators.
std::vector<Number> Numbers(std::string_view line) {
  std::vector<Number> out;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"' && (i == 0 || line[i - 1] != '\\')) quoted = !quoted;
    if (!IsDigit(c)) continue;
    if (i > 0 && (IsWordChar(line[i - 1]) || line[i - 1] == '.' || line[i - 1] == '-' || line[i - 1] == '\'')) continue;
    const bool hex = c == '0' && i + 2 < line.size() && (line[i + 1] == 'x' || line[i + 1] == 'X');
    const std::size_t digits = hex ? i + 2 : i;
    std::size_t j = digits;
    while (j < line.size() && (hex ? IsHexDigit(line[j]) : IsDigit(line[j]))) ++j;
    std::size_t end = j;
    while (end < line.size() && (line[end] == 'u' || line[end] == 'U' || line[end] == 'l' || line[end] == 'L')) ++end;
    const bool whole = end == line.size() || !(IsWordChar(line[end]) || line[end] == '.' || line[end] == '\'');
    if (whole && j > digits && j - digits <= 9)
      out.push_back(
          {i, end, std::stoul(std::string(line.substr(digits, j - digits)), nullptr, hex ? 16 : 10), hex, quoted});
    i = j - 1;
  }
  return out;
}

// The name of the call whose argument list holds position at; empty when
// the position is inside braces or outside any call.
std::string_view CallAround(std::string_view line, std::size_t at) {
  int depth = 0;
  for (std::size_t k = at; k-- > 0;) {
    const char c = line[k];
    if (c == ')') {
      ++depth;
    } else if (c == '(' && depth > 0) {
      --depth;
    } else if (c == '(') {
      const std::string_view before = TrimRight(line.substr(0, k));
      std::size_t start = before.size();
      while (start > 0 && IsWordChar(before[start - 1])) --start;
      return before.substr(start);
    } else if ((c == '{' || c == ';') && depth == 0) {
      return {};
    }
  }
  return {};
}

// How many numbers outside strings share the innermost brackets around
// position at (the whole line when there are none).
std::size_t NumbersInGroup(std::string_view line, std::size_t at, const std::vector<Number>& numbers) {
  std::size_t open = 0, close = line.size();
  int depth = 0;
  for (std::size_t k = at; k-- > 0;) {
    const char c = line[k];
    if (c == ')' || c == '}') ++depth;
    if ((c == '(' || c == '{') && depth-- == 0) {
      open = k;
      break;
    }
  }
  depth = 0;
  for (std::size_t k = at; k < line.size(); ++k) {
    const char c = line[k];
    if (c == '(' || c == '{') ++depth;
    if ((c == ')' || c == '}') && depth-- == 0) {
      close = k;
      break;
    }
  }
  std::size_t count = 0;
  for (const Number& n : numbers) count += !n.quoted && n.begin >= open && n.end <= close ? 1 : 0;
  return count;
}

bool EndsWithWord(std::string_view s, std::string_view word) {
  return s.size() >= word.size() && s.substr(s.size() - word.size()) == word &&
         (s.size() == word.size() || !IsWordChar(s[s.size() - word.size() - 1]));
}

bool StartsWithWord(std::string_view s, std::string_view word) {
  return s.substr(0, word.size()) == word && (s.size() == word.size() || !IsWordChar(s[word.size()]));
}

// A number no other fact of the program is likely to share: three digits
// or more and not round. Written anywhere but in a list of four or more
// numbers (a rectangle, a colour), it is a second copy.
bool Distinctive(unsigned long n) { return n >= 100 && n % 10 != 0 && (n & (n - 1)) != 0; }

// Functions and macros whose arguments are resource or control IDs.
bool TakesIds(std::string_view call) {
  for (std::string_view name :
       {"MAKEINTRESOURCE", "MAKEINTRESOURCEA", "MAKEINTRESOURCEW", "GetDlgItem", "SendDlgItemMessageA",
        "CheckDlgButton", "IsDlgButtonChecked", "SetDlgItemTextA", "GetDlgItemTextA", "CDialogBase", "TS_ON_BN_CLICKED",
        "LoadBootImage", "EmbeddedBootImage", "Press"})
    if (call == name) return true;
  return call.substr(0, 4) == "DDX_" || call.substr(0, 4) == "DDV_";
}

// Whether the argument before the one at prefix's end names a resource type
// whose items the list numbers (as in FindResourceEx's or the tests' loaders).
bool AfterListedType(std::string_view prefix) {
  if (prefix.empty() || prefix.back() != ',') return false;
  const std::string_view type = TrimRight(prefix.substr(0, prefix.size() - 1));
  for (std::string_view name : {"RT_GROUP_ICON", "RT_DIALOG", "\"AVI\"", "\"BINARY\"", "\"Binary\""})
    if (EndsWithWord(type, name)) return true;
  return false;
}

// Whether prefix ends in "ID?_NAME =" or "#define ID?_NAME" for one of the
// listed kinds of names.
bool DeclaresId(std::string_view prefix) {
  bool define = false;
  if (!prefix.empty() && prefix.back() == '=') {
    prefix = TrimRight(prefix.substr(0, prefix.size() - 1));
  } else {
    define = true;
  }
  std::size_t start = prefix.size();
  while (start > 0 && IsWordChar(prefix[start - 1])) --start;
  const std::string_view name = prefix.substr(start);
  if (define && !TrimRight(prefix.substr(0, start)).ends_with("#define")) return false;
  for (std::string_view kind : {"IDI_", "IDA_", "IDD_", "IDC_", "IDM_", "IDR_"})
    if (name.starts_with(kind) && name.size() > kind.size()) return true;
  return false;
}

// The index of the comma-separated field of text that holds position at,
// not counting commas inside strings.
std::size_t FieldAt(std::string_view text, std::size_t at) {
  std::size_t field = 0;
  bool quoted = false;
  for (std::size_t k = 0; k < at && k < text.size(); ++k) {
    if (text[k] == '"') quoted = !quoted;
    if (text[k] == ',' && !quoted) ++field;
  }
  return field;
}

// The listed numbers a line writes where an identifier goes. script: the
// line is from a resource script.
std::vector<unsigned long> SecondCopies(std::string_view line, bool script,
                                        const std::map<unsigned, std::string>& listed) {
  std::vector<unsigned long> found;
  const std::vector<Number> numbers = Numbers(line);
  for (const Number& n : numbers) {
    if (listed.count(static_cast<unsigned>(n.value)) == 0) continue;
    const std::string_view prefix = TrimRight(line.substr(0, n.begin));
    const std::string_view suffix = TrimLeft(line.substr(n.end));
    const bool wholeArgument = !prefix.empty() && (prefix.back() == '(' || prefix.back() == ',') && !suffix.empty() &&
                               (suffix.front() == ')' || suffix.front() == ',');
    bool copy = false;
    // An argument of a call that takes an ID, or the item of a listed type.
    if (!n.quoted && wholeArgument && (TakesIds(CallAround(line, n.begin)) || AfterListedType(prefix))) copy = true;
    // A key of the fakes' boot images; a system command.
    if (prefix.ends_with("images[") && suffix.starts_with("]")) copy = true;
    if (prefix.ends_with(",") && EndsWithWord(TrimRight(prefix.substr(0, prefix.size() - 1)), "WM_SYSCOMMAND"))
      copy = true;
    // A name of the program's kinds of identifiers given a number again.
    if (DeclaresId(prefix)) copy = true;
    // A resource statement by number, in a script or written by the build.
    for (std::string_view type : {"ICON", "AVI", "BINARY", "DIALOG", "DIALOGEX", "RCDATA"})
      if (StartsWithWord(suffix, type)) copy = true;
    if (script && !n.quoted) {
      // A control's ID: the first field of the controls without text, the
      // first or second (the icon of CONTROL and ICON, then the ID) of the
      // others. The later fields are coordinates and styles.
      const std::string_view statement = TrimLeft(line);
      std::size_t keyword = 0;
      while (keyword < statement.size() && IsWordChar(statement[keyword])) ++keyword;
      const std::string_view word = statement.substr(0, keyword);
      const std::size_t field =
          FieldAt(statement.substr(keyword), n.begin - (line.size() - statement.size()) - keyword);
      for (std::string_view control :
           {"CONTROL", "LTEXT", "RTEXT", "CTEXT", "PUSHBUTTON", "DEFPUSHBUTTON", "GROUPBOX", "CHECKBOX", "AUTOCHECKBOX",
            "RADIOBUTTON", "AUTORADIOBUTTON", "STATE3", "AUTO3STATE", "PUSHBOX", "ICON"})
        if (word == control && field <= 1) copy = true;
      for (std::string_view control : {"COMBOBOX", "LISTBOX", "EDITTEXT", "SCROLLBAR"})
        if (word == control && field == 0) copy = true;
    }
    if (!script && !n.hex && Distinctive(n.value) && (n.quoted || NumbersInGroup(line, n.begin, numbers) < 4))
      copy = true;
    if (copy) found.push_back(n.value);
  }
  return found;
}

std::string N(unsigned long id) { return std::to_string(id); }
std::string Hex(unsigned long id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lX", id);
  return text;
}

TEST(ResourceIdSecondCopy, IsFoundWhereAnIdentifierGoes) {
  const auto listed = ListedNumbers();
  struct Case {
    std::string line;
    bool script;
    std::vector<unsigned long> copies;
  };
  const std::vector<Case> cases = {
      // Calls that take IDs.
      {"m_hIcon = LoadIconA(module, MAKEINTRESOURCEA(" + N(IDI_DOS) + "));", false, {IDI_DOS}},
      {"HWND list = GetDlgItem(dlg, " + N(IDC_DRIVE_LIST) + ");", false, {IDC_DRIVE_LIST}},
      {"    : CDialogBase(" + N(IDD_TESSARIN_DIALOG) + ", parent),", false, {IDD_TESSARIN_DIALOG}},
      {"  DDX_Check(dx, " + N(IDC_PRESERVE_PROJECT) + ", m_bPreserveProject);", false, {IDC_PRESERVE_PROJECT}},
      {"  Press(dlg, " + N(IDC_RESTORE) + ");", false, {IDC_RESTORE}},
      {"  const auto b = Bytes(RT_DIALOG, " + N(IDD_ABOUTBOX) + ");", false, {IDD_ABOUTBOX}},
      {"  EXPECT_EQ(Bytes(\"BINARY\", " + N(IDR_FAT32_BOOT) + ").size(), 512u);", false, {IDR_FAT32_BOOT}},
      {"  images[" + N(IDR_BLDR_LOADER) + "] = SyntheticImage(1, 422);", false, {IDR_BLDR_LOADER}},
      {"  PostMessageA(dlg, WM_SYSCOMMAND, " + Hex(IDM_ABOUTBOX) + ", 0);", false, {IDM_ABOUTBOX}},
      // The names declared again.
      {"inline constexpr unsigned IDR_FAT32_BOOT = " + N(IDR_FAT32_BOOT) + ";", false, {IDR_FAT32_BOOT}},
      {"#define IDC_RESTORE " + N(IDC_RESTORE), false, {IDC_RESTORE}},
      // Numbers no other fact shares, anywhere.
      {"  for (const ClipCase& c : {ClipCase{" + N(IDA_WINCE) + ", false}}) {", false, {IDA_WINCE}},
      {"      return " + N(IDA_DOS) + ";", false, {IDA_DOS}},
      {"// writes icon_romdos.ico (" + N(IDI_ROMDOS) + ")", false, {IDI_ROMDOS}},
      {"foreach(pair \"" + N(IDR_MBR_CODE) + ";mbr_code\" \"" + N(IDR_FAT16_BOOT) + ";fat16_boot\")",
       false,
       {IDR_MBR_CODE, IDR_FAT16_BOOT}},
      // Resource statements, also when the build writes them.
      {"  string(APPEND images \"" + N(IDR_FAT32_BOOT) + " BINARY \\\"${dir}/x.bin\\\"\\n\")", false, {IDR_FAT32_BOOT}},
      {N(IDA_ROMDOS) + " AVI \"clip_romdos.avi\"", true, {IDA_ROMDOS}},
      {N(IDD_ABOUTBOX) + " DIALOGEX 0, 0, 235, 71", true, {IDD_ABOUTBOX}},
      // Controls of a resource script.
      {"    COMBOBOX        " + N(IDC_DRIVE_LIST) + ", 7, 17, 51, 83, CBS_DROPDOWNLIST", true, {IDC_DRIVE_LIST}},
      {"    PUSHBUTTON      \"&Restore SD-Card\", " + N(IDC_RESTORE) + ", 7, 38, 179, 29", true, {IDC_RESTORE}},
      {"    CONTROL         " + N(IDI_DOS) + ", " + N(IDC_ABOUT_ICON) + ", \"Static\", SS_ICON, 7, 7, 21, 20",
       true,
       {IDI_DOS, IDC_ABOUT_ICON}},
      // Other facts that happen to share a number.
      {"  _exit(" + N(IDR_FAT32_BOOT) + ");", false, {}},
      {"    if (b > " + N(IDA_ROMDOS) + " && r < 80 && b - r > 100) ++blue;", false, {}},
      {"  std::uint64_t megabytes = " + N(IDI_DOS) + ";", false, {}},
      {"  Sleep(" + N(IDC_DRIVE_LIST) + ");", false, {}},
      {"  const std::vector<short> place = {36, 31, " + N(IDR_MBR_CODE) + ", 8};", false, {}},
      {"    LTEXT           \"Copyright\", -1, 36, 39, " + N(IDR_MBR_CODE) + ", 8", true, {}},
      {"    LTEXT           \"Version 1.7.0.0\", -1, 36, 15, 119, 8, SS_NOPREFIX | WS_GROUP", true, {}},
      {" FILEVERSION 1,7,0,0", true, {}},
      {"  const std::uint8_t kind = 0x86;  // " + N(IDI_DOS) + "MB", false, {}},
      {"  EXPECT_EQ(GetDlgItem(dlg, IDC_LOG_LIST), nullptr);", false, {}},
      {"#define TS_STRING(id, name, text) id, text", true, {}},
      {"constexpr int kRetries = " + N(IDC_RESTORE) + ";", false, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SecondCopies(c.line, c.script, listed), c.copies) << c.line;
}

TEST(ResourceIdSecondCopy, IsNowhereInTheSources) {
  namespace fs = std::filesystem;
  const auto listed = ListedNumbers();
  const fs::path root = TS_SOURCE_DIR;
  std::vector<std::string> copies;
  std::size_t files = 0;
  for (const char* dir : {"src", "tools", "tests"}) {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / dir)) {
      if (!entry.is_regular_file()) continue;
      const fs::path& path = entry.path();
      const std::string ext = path.extension().string();
      const bool script = ext == ".rc" || path.filename().string().ends_with(".rc.in");
      static const std::set<std::string> sources = {".cpp", ".h", ".in", ".cmake", ".sh"};
      if (!script && sources.count(ext) == 0 && path.filename() != "CMakeLists.txt") continue;
      ++files;
      std::ifstream in(path);
      std::string line;
      for (int number = 1; std::getline(in, line); ++number)
        for (unsigned long id : SecondCopies(line, script, listed))
          copies.push_back(fs::relative(path, root).string() + ":" + std::to_string(number) + ": " + N(id) + " is " +
                           listed.at(static_cast<unsigned>(id)));
    }
  }
  EXPECT_GT(files, 50u) << "the sources are under " << root;
  std::string report;
  for (const std::string& c : copies) report += "  " + c + "\n";
  EXPECT_TRUE(copies.empty()) << "numbers of src/res/resource_ids.def written again; write the names:\n" << report;
}

}  // namespace
}  // namespace tessarin
