// The executable's resources as the system sees them (the program loaded as
// a data file), and the program's own small pieces that need no window:
// the help file's path, the HTML Help control's registered location.
#include <windows.h>
// commctrl.h needs the types of windows.h
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "card/resource_port.h"
#include "res/resource_ids.h"
#include "res/string_table.h"
#include "win32/app/tessarin_app.h"
#include "win32/ui/html_help.h"

namespace {

std::string g_exe;

constexpr WORD kEnglishUs = 0x0409;

class Resources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = LoadLibraryExA(g_exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << g_exe << ": error " << GetLastError();
  }
  static void TearDownTestSuite() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }

  // The bytes of a resource in US English; empty when there is none.
  static std::vector<std::uint8_t> Bytes(LPCSTR type, UINT id) {
    HRSRC res = FindResourceExA(module_, type, MAKEINTRESOURCEA(id), kEnglishUs);
    if (res == nullptr) return {};
    HGLOBAL data = LoadResource(module_, res);
    const auto* p = static_cast<const std::uint8_t*>(LockResource(data));
    return p != nullptr ? std::vector<std::uint8_t>(p, p + SizeofResource(module_, res)) : std::vector<std::uint8_t>{};
  }

  static HMODULE module_;
};
HMODULE Resources::module_ = nullptr;

std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }
std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) { return U16(b, at) | (U16(b, at + 2) << 16); }
std::size_t Align4(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR p) {
  reinterpret_cast<std::set<WORD>*>(p)->insert(language);
  return TRUE;
}
BOOL CALLBACK CollectName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR p) {
  std::set<WORD> languages;
  EnumResourceLanguagesA(module, type, name, CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
  reinterpret_cast<std::vector<std::set<WORD>>*>(p)->push_back(languages);
  return TRUE;
}
BOOL CALLBACK CollectType(HMODULE module, LPSTR type, LONG_PTR p) {
  EnumResourceNamesA(module, type, CollectName, p);
  return TRUE;
}

TEST_F(Resources, EverythingIsInUsEnglish) {
  std::vector<std::set<WORD>> languages;
  EnumResourceTypesA(module_, CollectType, reinterpret_cast<LONG_PTR>(&languages));
  ASSERT_FALSE(languages.empty());
  for (const auto& set : languages) EXPECT_EQ(set, std::set<WORD>{kEnglishUs});
}

BOOL CALLBACK CollectNumber(HMODULE, LPCSTR, LPSTR name, LONG_PTR p) {
  // A name that is a string rather than a number is kept as 0, which no
  // listed resource has.
  reinterpret_cast<std::set<UINT>*>(p)->insert(IS_INTRESOURCE(name) ? LOWORD(reinterpret_cast<ULONG_PTR>(name)) : 0);
  return TRUE;
}

// The program carries exactly the icons, clips, dialogs and boot images of
// the one list, each under its number.
TEST_F(Resources, HoldsEveryListedResourceAndNoOther) {
  struct Kind {
    LPCSTR type;
    std::set<UINT> listed;
  };
  std::vector<Kind> kinds = {{RT_GROUP_ICON, {}}, {"AVI", {}}, {RT_DIALOG, {}}, {"BINARY", {}}};
  for (const tessarin::ResourceFile& r : tessarin::kIconResources) kinds[0].listed.insert(r.id);
  for (const tessarin::ResourceFile& r : tessarin::kClipResources) kinds[1].listed.insert(r.id);
  for (const tessarin::NamedId& r : tessarin::kDialogResources) kinds[2].listed.insert(r.id);
  for (const tessarin::ResourceFile& r : tessarin::kBootImageResources) kinds[3].listed.insert(r.id);
  for (const Kind& kind : kinds) {
    std::set<UINT> found;
    EnumResourceNamesA(module_, kind.type, CollectNumber, reinterpret_cast<LONG_PTR>(&found));
    EXPECT_FALSE(kind.listed.empty());
    EXPECT_EQ(found, kind.listed) << (IS_INTRESOURCE(kind.type) ? "#" : kind.type);
  }
}

TEST_F(Resources, StringTableHoldsEveryTextOfTheOneList) {
  for (const tessarin::StringEntry& e : tessarin::StringTable()) {
    char text[512] = {};
    const int n = LoadStringA(module_, e.id, text, sizeof text);
    EXPECT_EQ(std::string(text, n > 0 ? n : 0), e.text) << e.id;
  }
  char none[16] = {};
  EXPECT_EQ(LoadStringA(module_, 113, none, sizeof none), 0);
  char title[64] = {};
  LoadStringA(module_, 124, title, sizeof title);
  EXPECT_STREQ(title, "Tessarin Utility - Vantorels");
  char trailing[64] = {};
  LoadStringA(module_, 126, trailing, sizeof trailing);
  EXPECT_STREQ(trailing, "About ");
}

// ---- dialogs -------------------------------------------------------------

struct ControlSpec {
  int id;  // -1: a control without ID
  std::string cls;
  std::string text;
  DWORD style;  // bits that must be set
  DWORD exStyle;
  short x, y, cx, cy;
};

struct DialogView {
  DWORD style = 0, exStyle = 0;
  short cx = 0, cy = 0;
  std::string caption, font;
  WORD pointSize = 0;
  std::vector<ControlSpec> controls;
};

std::string ReadSz(const std::vector<std::uint8_t>& b, std::size_t& at) {
  std::string s;
  for (;; at += 2) {
    const std::uint16_t c = U16(b, at);
    if (c == 0) break;
    s += static_cast<char>(c);
  }
  at += 2;
  return s;
}

// A name or ordinal field: 0xFFFF and a number, or a string.
std::string ReadNameOrOrdinal(const std::vector<std::uint8_t>& b, std::size_t& at, bool windowClass = false) {
  if (U16(b, at) == 0xFFFF) {
    const std::uint16_t n = U16(b, at + 2);
    at += 4;
    static const std::map<int, std::string> atoms = {{0x80, "Button"},  {0x81, "Edit"},      {0x82, "Static"},
                                                     {0x83, "ListBox"}, {0x84, "ScrollBar"}, {0x85, "ComboBox"}};
    const auto it = atoms.find(n);
    return windowClass && it != atoms.end() ? it->second : "#" + std::to_string(n);
  }
  return ReadSz(b, at);
}

DialogView ParseDialogEx(const std::vector<std::uint8_t>& b) {
  DialogView d;
  EXPECT_EQ(U16(b, 2), 0xFFFF) << "extended template";
  d.exStyle = U32(b, 8);
  d.style = U32(b, 12);
  const WORD count = U16(b, 16);
  d.cx = static_cast<short>(U16(b, 22));
  d.cy = static_cast<short>(U16(b, 24));
  std::size_t at = 26;
  ReadNameOrOrdinal(b, at);  // menu
  ReadNameOrOrdinal(b, at);  // class
  d.caption = ReadSz(b, at);
  if (d.style & DS_SETFONT) {
    d.pointSize = U16(b, at);
    at += 6;
    d.font = ReadSz(b, at);
  }
  for (WORD i = 0; i < count; ++i) {
    at = Align4(at);
    ControlSpec c;
    c.exStyle = U32(b, at + 4);
    c.style = U32(b, at + 8);
    c.x = static_cast<short>(U16(b, at + 12));
    c.y = static_cast<short>(U16(b, at + 14));
    c.cx = static_cast<short>(U16(b, at + 16));
    c.cy = static_cast<short>(U16(b, at + 18));
    c.id = static_cast<int>(static_cast<std::int32_t>(U32(b, at + 20)));
    at += 24;
    c.cls = ReadNameOrOrdinal(b, at, true);
    c.text = ReadNameOrOrdinal(b, at);
    at += 2 + U16(b, at);  // creation data
    d.controls.push_back(c);
  }
  return d;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return s;
}

void ExpectControls(const DialogView& d, const std::vector<ControlSpec>& expected) {
  ASSERT_EQ(d.controls.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const ControlSpec& e = expected[i];
    const ControlSpec& c = d.controls[i];
    SCOPED_TRACE("control " + std::to_string(i) + " " + e.text);
    EXPECT_EQ(c.id == 0xFFFF ? -1 : c.id, e.id);
    EXPECT_EQ(Upper(c.cls), Upper(e.cls)) << "window classes ignore case";
    EXPECT_EQ(c.text, e.text);
    EXPECT_EQ(c.style & e.style, e.style) << std::hex << c.style;
    EXPECT_EQ(c.exStyle, e.exStyle);
    EXPECT_EQ((std::vector<short>{c.x, c.y, c.cx, c.cy}), (std::vector<short>{e.x, e.y, e.cx, e.cy}));
  }
}

// Every control the list names is in its dialog's template.
TEST_F(Resources, DialogsHoldEveryListedControl) {
  for (const tessarin::DialogControl& listed : tessarin::kDialogControls) {
    const DialogView d = ParseDialogEx(Bytes(RT_DIALOG, listed.dialog));
    int count = 0;
    for (const ControlSpec& c : d.controls) count += c.id == listed.id ? 1 : 0;
    EXPECT_EQ(count, 1) << listed.name << " in dialog " << listed.dialog;
  }
}

TEST_F(Resources, MainDialogTemplate) {
  using namespace tessarin;
  const DialogView d = ParseDialogEx(Bytes(RT_DIALOG, IDD_TESSARIN_DIALOG));
  EXPECT_EQ(d.cx, 193);
  EXPECT_EQ(d.cy, 212);
  EXPECT_EQ(d.caption, "Tessarin Utility");
  EXPECT_EQ(d.font, "MS Sans Serif");
  EXPECT_EQ(d.pointSize, 8);
  const DWORD frame = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  EXPECT_EQ(d.style & frame, frame);
  EXPECT_EQ(d.style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0u);
  EXPECT_EQ(d.exStyle & WS_EX_APPWINDOW, static_cast<DWORD>(WS_EX_APPWINDOW));
  ExpectControls(
      d,
      {
          {IDC_DRIVE_LIST, "ComboBox", "", CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP | WS_GROUP,
           WS_EX_RIGHT, 7, 17, 51, 83},
          {IDC_PRESERVE_PROJECT, "Button", "Preserve Project Folder", BS_AUTOCHECKBOX | WS_TABSTOP, 0, 84, 18, 98, 10},
          {IDOK, "Button", "E&xit", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 7, 74, 179, 19},
          {IDC_RESTORE, "Button", "&Restore SD-Card", BS_PUSHBUTTON | WS_TABSTOP, 0, 7, 38, 179, 29},
          {IDC_ANIMATION, "SysAnimate32", "Animate1", WS_BORDER | ACS_CENTER | ACS_TRANSPARENT | ACS_AUTOPLAY, 0, 7,
           174, 179, 31},
          {-1, "Static", "&Destination Drive", SS_LEFT | WS_GROUP, 0, 7, 7, 54, 8},
          {IDC_LOG_LIST, "ListBox", "",
           WS_BORDER | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY, 0, 7, 97, 179, 77},
      });
  ASSERT_EQ(d.controls.size(), 7u);
  EXPECT_EQ(d.controls[6].style & LBS_SORT, 0u) << "log lines stay in the order added";
  EXPECT_EQ(d.controls[0].style & CBS_DROPDOWNLIST, static_cast<DWORD>(CBS_DROPDOWNLIST));
}

TEST_F(Resources, AboutBoxTemplate) {
  using namespace tessarin;
  const DialogView d = ParseDialogEx(Bytes(RT_DIALOG, IDD_ABOUTBOX));
  EXPECT_EQ(d.cx, 235);
  EXPECT_EQ(d.cy, 71);
  EXPECT_EQ(d.caption, "About Tessarin");
  EXPECT_EQ(d.font, "MS Sans Serif");
  EXPECT_EQ(d.pointSize, 8);
  ASSERT_EQ(d.controls.size(), 8u);
  const ControlSpec& icon = d.controls[0];
  EXPECT_EQ(icon.id, IDC_ABOUT_ICON);
  EXPECT_EQ(icon.text, "#" + std::to_string(IDI_DOS)) << "names the DOS icon";
  EXPECT_EQ(icon.style & SS_TYPEMASK, static_cast<DWORD>(SS_ICON));
  EXPECT_EQ((std::vector<short>{icon.x, icon.y, icon.cx, icon.cy}), (std::vector<short>{7, 7, 21, 20}));
  EXPECT_EQ(d.controls[1].text, "Tessarin Utility");
  EXPECT_TRUE(d.controls[1].style & SS_NOPREFIX);
  EXPECT_EQ(d.controls[3].id, IDOK);
  EXPECT_EQ(d.controls[3].text, "OK");
  EXPECT_EQ(d.controls[3].style & (BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP),
            static_cast<DWORD>(BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP));
  const std::vector<std::vector<short>> places = {{7, 7, 21, 20},   {36, 7, 119, 8},  {36, 31, 166, 8},
                                                  {178, 7, 50, 14}, {36, 55, 146, 8}, {36, 15, 119, 8},
                                                  {36, 39, 166, 8}, {36, 47, 166, 8}};
  for (std::size_t i = 0; i < places.size(); ++i) {
    const ControlSpec& c = d.controls[i];
    EXPECT_EQ((std::vector<short>{c.x, c.y, c.cx, c.cy}), places[i]) << i;
    if (i != 0 && i != 3) {
      EXPECT_EQ(c.cls, "Static") << i;
      EXPECT_TRUE(c.style & WS_GROUP) << i;
      EXPECT_FALSE(c.text.empty()) << i;
    }
  }
  EXPECT_TRUE(d.controls[5].style & SS_NOPREFIX);
}

// ---- icons ---------------------------------------------------------------

struct IconImage {
  int size, colours;  // colours: 16, 256, or 0 for 32-bit with alpha
  bool operator<(const IconImage& o) const { return std::tie(size, colours) < std::tie(o.size, o.colours); }
  bool operator==(const IconImage& o) const { return size == o.size && colours == o.colours; }
};

TEST_F(Resources, IconsCarryTheirImageFormats) {
  const std::map<UINT, std::multiset<IconImage>> expected = {
      {tessarin::IDI_WINCE, {{16, 256}, {32, 256}, {48, 256}, {16, 0}, {32, 0}, {48, 0}, {16, 16}, {32, 16}}},
      {tessarin::IDI_DOS, {{32, 16}, {16, 16}, {32, 256}, {16, 256}}},
      {tessarin::IDI_ROMDOS, {{32, 16}, {32, 256}}},
  };
  for (const tessarin::ResourceFile& listed : tessarin::kIconResources) {
    SCOPED_TRACE(listed.name);
    const auto it = expected.find(listed.id);
    ASSERT_NE(it, expected.end()) << "the images this icon must carry";
    const std::multiset<IconImage>& images = it->second;
    const auto group = Bytes(RT_GROUP_ICON, listed.id);
    ASSERT_GE(group.size(), 6u);
    const WORD count = U16(group, 4);
    std::multiset<IconImage> found;
    for (WORD i = 0; i < count; ++i) {
      const std::size_t at = 6 + 14 * i;
      const int width = group[at] == 0 ? 256 : group[at];
      const WORD bits = U16(group, at + 6);
      const WORD imageId = U16(group, at + 12);
      found.insert({width, bits == 32 ? 0 : (1 << bits)});
      // The image itself: a DIB of that size and depth, mask included.
      const auto image = Bytes(RT_ICON, imageId);
      ASSERT_GE(image.size(), 40u);
      EXPECT_EQ(static_cast<int>(U32(image, 4)), width);
      EXPECT_EQ(static_cast<int>(U32(image, 8)), width * 2);
      EXPECT_EQ(U16(image, 14), bits);
    }
    EXPECT_EQ(found, images);
  }
}

// ---- animation clips -----------------------------------------------------

struct Chunk {
  std::string id;
  std::size_t data, size;
};

std::vector<Chunk> Chunks(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t to) {
  std::vector<Chunk> out;
  while (from + 8 <= to) {
    Chunk c{std::string(reinterpret_cast<const char*>(&b[from]), 4), from + 8, U32(b, from + 4)};
    out.push_back(c);
    from = c.data + c.size + (c.size & 1);
  }
  return out;
}

const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& id, const std::vector<std::uint8_t>& b,
                  const std::string& listType = "") {
  for (const Chunk& c : chunks)
    if (c.id == id && (listType.empty() || std::string(reinterpret_cast<const char*>(&b[c.data]), 4) == listType))
      return &c;
  return nullptr;
}

// The first pixel of the top row of an 8-bit frame; bottom-up rows.
int TopLeftIndex(const std::vector<std::uint8_t>& b, const Chunk& frame, bool rle, int width, int height) {
  if (!rle) return b[frame.data + (height - 1) * width];
  // Decode until the top row (the last one coded) starts.
  int x = 0, y = 0;
  std::size_t at = frame.data;
  const std::size_t end = frame.data + frame.size;
  while (at + 1 < end) {
    const int n = b[at], v = b[at + 1];
    at += 2;
    if (n > 0) {
      if (y == height - 1 && x == 0) return v;
      x += n;
    } else if (v == 0) {
      x = 0, ++y;
    } else if (v == 1) {
      break;
    } else if (v == 2) {
      x += b[at], y += b[at + 1];
      at += 2;
    } else {
      if (y == height - 1 && x == 0) return b[at];
      x += v;
      at += v + (v & 1);
    }
  }
  return -1;
}

TEST_F(Resources, AnimationClips) {
  // Whether the frames of a clip are run-length coded.
  const std::map<UINT, bool> rleOf = {
      {tessarin::IDA_DOS, true}, {tessarin::IDA_ROMDOS, true}, {tessarin::IDA_WINCE, false}};
  for (const tessarin::ResourceFile& listed : tessarin::kClipResources) {
    SCOPED_TRACE(listed.name);
    const auto coding = rleOf.find(listed.id);
    ASSERT_NE(coding, rleOf.end()) << "the frame coding of this clip";
    const bool rle = coding->second;
    const auto b = Bytes("AVI", listed.id);
    ASSERT_GT(b.size(), 12u);
    ASSERT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    ASSERT_EQ(std::string(b.begin() + 8, b.begin() + 12), "AVI ");
    const auto top = Chunks(b, 12, b.size());
    const Chunk* hdrl = Find(top, "LIST", b, "hdrl");
    const Chunk* movi = Find(top, "LIST", b, "movi");
    const Chunk* idx1 = Find(top, "idx1", b);
    ASSERT_TRUE(hdrl && movi && idx1);
    const auto header = Chunks(b, hdrl->data + 4, hdrl->data + hdrl->size);
    const Chunk* avih = Find(header, "avih", b);
    const Chunk* strl = Find(header, "LIST", b, "strl");
    ASSERT_TRUE(avih && strl);
    EXPECT_EQ(U32(b, avih->data), 100000u) << "microseconds per frame";
    EXPECT_EQ(U32(b, avih->data + 16), 18u) << "frames";
    EXPECT_EQ(U32(b, avih->data + 24), 1u) << "streams";
    EXPECT_EQ(U32(b, avih->data + 32), 260u);
    EXPECT_EQ(U32(b, avih->data + 36), 40u);
    const auto stream = Chunks(b, strl->data + 4, strl->data + strl->size);
    const Chunk* strh = Find(stream, "strh", b);
    const Chunk* strf = Find(stream, "strf", b);
    ASSERT_TRUE(strh && strf);
    EXPECT_EQ(std::string(b.begin() + strh->data, b.begin() + strh->data + 4), "vids");
    EXPECT_EQ(U32(b, strf->data + 4), 260u);
    EXPECT_EQ(U32(b, strf->data + 8), 40u);
    EXPECT_EQ(U16(b, strf->data + 14), 8u) << "bits per pixel";
    EXPECT_EQ(U32(b, strf->data + 16), rle ? static_cast<DWORD>(BI_RLE8) : static_cast<DWORD>(BI_RGB));
    ASSERT_EQ(strf->size, 40u + 256 * 4) << "256-colour palette";
    const std::size_t palette = strf->data + 40;

    EXPECT_EQ(idx1->size, 18u * 16) << "an index of the 18 frames";
    const auto frames = Chunks(b, movi->data + 4, movi->data + movi->size);
    ASSERT_EQ(frames.size(), 18u);
    for (std::size_t f = 0; f < frames.size(); ++f) {
      EXPECT_EQ(frames[f].id.substr(0, 2), "00");
      EXPECT_EQ(U32(b, idx1->data + 16 * f + 8) + movi->data, frames[f].data - 8) << "index entry " << f;
      const int index = TopLeftIndex(b, frames[f], rle, 260, 40);
      ASSERT_GE(index, 0) << "frame " << f;
      const std::size_t rgb = palette + 4 * index;
      EXPECT_EQ((std::vector<int>{b[rgb + 2], b[rgb + 1], b[rgb]}), (std::vector<int>{255, 0, 255}))
          << "magenta top-left pixel in frame " << f;
    }
  }
}

// ---- boot images, version, manifest --------------------------------------

TEST_F(Resources, BootImages) {
  const std::map<UINT, std::size_t> sizeOf = {{tessarin::IDR_MBR_CODE, tessarin::kMbrCodeSize},
                                              {tessarin::IDR_FAT32_BOOT, tessarin::kBootSectorSize},
                                              {tessarin::IDR_FAT16_BOOT, tessarin::kBootSectorSize},
                                              {tessarin::IDR_BLDR_LOADER, tessarin::kBldrLoaderSize},
                                              {tessarin::IDR_DOS_STAGE2, tessarin::kDosStage2Size}};
  for (const tessarin::ResourceFile& listed : tessarin::kBootImageResources) {
    const auto size = sizeOf.find(listed.id);
    ASSERT_NE(size, sizeOf.end()) << listed.name;
    EXPECT_EQ(Bytes("BINARY", listed.id).size(), size->second) << listed.name;
  }
}

TEST_F(Resources, VersionBlock) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(g_exe.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(g_exe.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &len));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010007u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010007u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len));
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 1200);
  const std::map<std::string, std::string> fields = {
      {"FileVersion", "1, 7, 0, 0"},           {"ProductVersion", "1, 7, 0, 0"}, {"CompanyName", "Quenlor"},
      {"ProductName", "Tessarin Application"}, {"InternalName", "Tessarin"},     {"OriginalFilename", "Tessarin.EXE"},
  };
  for (const auto& [name, value] : fields) {
    char* text = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), ("\\StringFileInfo\\040904B0\\" + name).c_str(),
                               reinterpret_cast<void**>(&text), &len))
        << name;
    EXPECT_EQ(std::string(text), value);
  }
  for (const char* name : {"FileDescription", "LegalCopyright"}) {
    char* text = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), (std::string("\\StringFileInfo\\040904B0\\") + name).c_str(),
                               reinterpret_cast<void**>(&text), &len));
    EXPECT_GT(std::strlen(text), 0u) << name;
  }
}

TEST_F(Resources, ManifestAsksForCommonControlsAdministratorAndDpiAwareness) {
  const auto bytes = Bytes(MAKEINTRESOURCEA(24), 1);
  const std::string manifest(bytes.begin(), bytes.end());
  for (const char* part : {"name=\"Microsoft.Windows.Common-Controls\"", "version=\"6.0.0.0\"",
                           "publicKeyToken=\"6595b64144ccf1df\"", "processorArchitecture=\"*\"", "language=\"*\"",
                           "level=\"requireAdministrator\"", "uiAccess=\"false\"", ">true</dpiAware>"})
    EXPECT_NE(manifest.find(part), std::string::npos) << part;
}

// ---- the help file's path and the help control's location ----------------

TEST(HelpPath, EveryExactOccurrenceOfTheOldExtensionIsReplaced) {
  struct Case {
    const char* in;
    const char* out;
  };
  for (const Case& c : {Case{"C:\\Tools\\Tessarin.HLP", "C:\\Tools\\Tessarin.chm"},
                        Case{"D:\\Docs.HLP\\Tessarin.HLP", "D:\\Docs.chm\\Tessarin.chm"},
                        Case{"D:\\docs.hlp\\Tessarin.HLP", "D:\\docs.hlp\\Tessarin.chm"},
                        Case{"C:\\A.HLP.HLP", "C:\\A.chm.chm"}, Case{"C:\\Tessarin", "C:\\Tessarin"}})
    EXPECT_EQ(tessarin::ui::ReplaceAll(c.in, ".HLP", ".chm"), c.out);
}

class HelpLibraryKey : public ::testing::Test {
 protected:
  static constexpr const char* kKey = "Software\\Tessarin Tests\\InprocServer32";
  void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Tessarin Tests"); }
  void SetValue(DWORD type, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
  }
};

TEST_F(HelpLibraryKey, ReadsPlainAndExpandablePathsAndRefusesWhatDoesNotFit) {
  char path[260] = {};
  EXPECT_FALSE(tessarin::ui::FindHtmlHelpLibraryAt(HKEY_CURRENT_USER, kKey, path)) << "no key";

  SetValue(REG_SZ, "C:\\windows\\system32\\hhctrl.ocx");
  ASSERT_TRUE(tessarin::ui::FindHtmlHelpLibraryAt(HKEY_CURRENT_USER, kKey, path));
  EXPECT_STREQ(path, "C:\\windows\\system32\\hhctrl.ocx");

  SetEnvironmentVariableA("TS_HELP_DIR", "C:\\help here");
  SetValue(REG_EXPAND_SZ, "%TS_HELP_DIR%\\hhctrl.ocx");
  ASSERT_TRUE(tessarin::ui::FindHtmlHelpLibraryAt(HKEY_CURRENT_USER, kKey, path));
  EXPECT_STREQ(path, "C:\\help here\\hhctrl.ocx");

  SetValue(REG_SZ, "C:\\" + std::string(300, 'x'));
  EXPECT_FALSE(tessarin::ui::FindHtmlHelpLibraryAt(HKEY_CURRENT_USER, kKey, path)) << "longer than 260 bytes";

  SetEnvironmentVariableA("TS_HELP_DIR", ("C:\\" + std::string(250, 'y')).c_str());
  SetValue(REG_EXPAND_SZ, "%TS_HELP_DIR%\\hhctrl.ocx");
  EXPECT_FALSE(tessarin::ui::FindHtmlHelpLibraryAt(HKEY_CURRENT_USER, kKey, path)) << "expanded past 260";
}

TEST(HelpLibrary, OrdinalFourteenIsTheAnsiEntryPoint) {
  HMODULE library = LoadLibraryA("hhctrl.ocx");
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(14))),
            reinterpret_cast<void*>(GetProcAddress(library, "HtmlHelpA")));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  g_exe = argc > 1 ? argv[1] : "Tessarin.exe";
  return RUN_ALL_TESTS();
}
