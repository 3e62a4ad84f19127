// The pieces of the reports for machines and for the service record: JSON
// strings whatever bytes a name holds, text safe for a terminal, and the
// archive's SHA-256 digest.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e_support.h"
#include "lx/support/json_line.h"
#include "lx/support/sha256.h"
#include "lx/support/terminal_text.h"
#include "lx/terminal/progress_board.h"

namespace e2e {
namespace {

using namespace tessarin::linux_port;

struct TextCase {
  const char* name;
  std::string text;
  std::string parsed;  // what a JSON parser reads back, as Python's repr
  std::string shown;   // on a terminal
};

TEST(Reports, HostileTextStaysValidJsonAndHarmlessOnATerminal) {
  const TextCase cases[] = {
      {"plain", "e:/Project", "'e:/Project'", "e:/Project"},
      {"quotes and backslash", "say \"hi\" \\ there", "'say \"hi\" \\\\ there'", "say \"hi\" \\ there"},
      {"line breaks and tab", "a\nb\r\tc", "'a\\nb\\r\\tc'", "a\\nb\\r\\tc"},
      {"terminal escape", "\x1b[2J\x1b]0;owned\x07", "'\\x1b[2J\\x1b]0;owned\\x07'", "\\x1b[2J\\x1b]0;owned\\x07"},
      {"delete", "a\x7f", "'a\\x7f'", "a\\x7f"},
      {"UTF-8 kept", "Übersicht Maße €", "'\\xdcbersicht Ma\\xdfe \\u20ac'", "Übersicht Maße €"},
      {"Latin-1 byte", "Ma\xdf", "'Ma\\ufffd'", "Ma\\xdf"},
      {"cut sequence", "\xe2\x82", "'\\ufffd\\ufffd'", "\\xe2\\x82"},
      {"overlong slash", "\xc0\xaf", "'\\ufffd\\ufffd'", "\\xc0\\xaf"},
      {"surrogate half", "\xed\xa0\x80", "'\\ufffd\\ufffd\\ufffd'", "\\xed\\xa0\\x80"},
      {"C1 control",
       "\xc2\x9b"
       "31m",
       "'\\x9b31m'", "\\xc2\\x9b31m"},
      {"NUL", std::string("a\0b", 3), "'a\\x00b'", "a\\x00b"},
  };
  std::string lines;
  for (const TextCase& c : cases) lines += JsonObject().Str("name", c.name).Str("text", c.text).Text() + "\n";
  std::string want;
  for (const TextCase& c : cases) want += (want.empty() ? "" : "\n") + c.parsed;
  // ascii() shows what the parser read, letters beyond ASCII as escapes.
  EXPECT_EQ(JsonQuery(lines, "'\\n'.join(ascii(o['text']) for o in objs)"), want);
  for (const TextCase& c : cases) EXPECT_EQ(EscapeForTerminal(c.text), c.shown) << c.name;

  // Numbers, truth values and nothing.
  EXPECT_EQ(JsonQuery(JsonObject()
                          .Int("status", -1)
                          .UInt("size", 4294967296u)
                          .Num("seconds", 1.25)
                          .Bool("ok", false)
                          .Null("saved")
                          .OptStr("label", std::nullopt)
                          .Raw("list", JsonArray().Add("1").Add(JsonString("x")).Text())
                          .Text(),
                      "objs[0]"),
            "{'status': -1, 'size': 4294967296, 'seconds': 1.25, 'ok': False, 'saved': None, 'label': None, "
            "'list': [1, 'x']}");
}

TEST(Reports, Sha256AgreesWithSha256sum) {
  // The standard's own vectors, and lengths around the padding's edges.
  struct Case {
    std::string input;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const Case& c : cases) {
    Sha256 sha;
    sha.Update(c.input.data(), c.input.size());
    EXPECT_EQ(sha.FinishHex(), c.digest) << c.input;
  }
  Scratch s;
  for (std::size_t size : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000000u, 3u << 20}) {
    std::string bytes(size, '\0');
    std::uint32_t seed = static_cast<std::uint32_t>(size);
    for (char& b : bytes) b = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
    const fs::path file = s / "data";
    WriteFileBytes(file, bytes);
    const std::string theirs = MustShell("sha256sum " + Quote(file)).substr(0, 64);
    EXPECT_EQ(FileSha256(file.string()).value_or(""), theirs) << size << " bytes";
    // Fed in uneven pieces.
    Sha256 pieces;
    for (std::size_t at = 0, step = 1; at < size; at += step, step = step * 3 % 1000 + 1)
      pieces.Update(bytes.data() + at, std::min(step, size - at));
    EXPECT_EQ(pieces.FinishHex(), theirs) << size << " bytes in pieces";
  }
  EXPECT_FALSE(FileSha256((s / "missing").string()));
}

// A card's progress line: its step, a bar, what is done of the whole and
// the time left at the rate so far; a step without a known size shows how
// long it has run. Never wider than the terminal.
TEST(Reports, ProgressLineForPeople) {
  const SteadyTime now{std::chrono::seconds(1000)};
  struct Case {
    const char* name;
    ProgressRow row;
    std::size_t labelWidth, width;
    std::string shown;
  };
  auto row = [&](std::string label, std::string step, std::uint64_t done, std::uint64_t total, double secondsAgo,
                 std::string state = {}, std::string detail = {}) {
    ProgressRow r;
    r.label = std::move(label);
    r.step = std::move(step);
    r.done = done;
    r.total = total;
    r.started = now - std::chrono::milliseconds(static_cast<long>(secondsAgo * 1000));
    r.state = std::move(state);
    r.detail = std::move(detail);
    return r;
  };
  const Case cases[] = {
      {"a quarter in four seconds", row("", "Installing", 25'000'000, 100'000'000, 4), 0, 120,
       "| Installing  [#####...............]  25.0 of 100.0 MB  0:12 left"},
      {"too early to tell", row("", "Installing", 1'000, 100'000'000, 0.5), 0, 120,
       "| Installing  [....................]  0.0 of 100.0 MB"},
      {"no size known", row("", "Formatting", 0, 0, 3.2, "", "12 of 300"), 0, 120, "| Formatting: 12 of 300  3 s"},
      {"several cards, labels aligned", row("a.img", "Copying", 5'000, 10'000, 2), 9, 120,
       "a.img:     | Copying  [##########..........]  5.0 of 10.0 kB  0:02 left"},
      {"between long steps", row("slot2.img", "", 0, 0, 0, "Locking Volume."), 9, 120, "slot2.img: Locking Volume."},
      {"a name that would steer the terminal", row("x\033[2J", "", 0, 0, 0, "done: restored"), 0, 120,
       "x\\x1b[2J: done: restored"},
      {"cut to the terminal", row("", "Installing", 50, 100, 10), 0, 20, "| Installing  [####"},
  };
  for (const Case& c : cases) EXPECT_EQ(RenderProgressRow(c.row, c.labelWidth, now, 0, c.width), c.shown) << c.name;
  EXPECT_EQ(TimeLeft(10, 100, 60), "9:00 left");
  EXPECT_EQ(TimeLeft(1, 10000, 3600), "");  // beyond reason
  EXPECT_EQ(AmountText(1'500'000'000, 20'000'000'000), "1.5 of 20.0 GB");
}

// --help and the manual page speak of every option the program takes, and
// the program takes every option they speak of.
TEST(Reports, HelpAndManualCoverEveryOption) {
  const Output help = Shell(Quote(TESSARIN_PROGRAM) + " --help");
  ASSERT_EQ(help.status, 0);
  const std::string manual = ReadFileBytes(TESSARIN_MAN_PAGE);
  ASSERT_FALSE(manual.empty());
  struct Option {
    const char* name;
    const char* trial;  // a use that must not be refused as unknown
  };
  const Option options[] = {
      {"dir", "--dir=/nonexistent x.img"},
      {"yes", "--yes x.img"},
      {"no-preserve", "--no-preserve x.img"},
      {"json", "--list --json"},
      {"log", "--log=/dev/null x.img"},
      {"timings", "--timings x.img"},
      {"check", "--check x.img"},
      {"quiet", "--quiet x.img"},
      {"sha256", "--sha256=0000000000000000000000000000000000000000000000000000000000000000 x.img"},
      {"list", "--list"},
      {"all", "--list --all"},
      {"help", "--help"},
      {"version", "--version"}};
  for (const Option& o : options) {
    SCOPED_TRACE(o.name);
    const std::string name = std::string("--") + o.name;
    EXPECT_NE(help.out.find(name), std::string::npos);
    std::string escaped;  // as roff writes it: \-\-no\-preserve
    for (char c : name) escaped += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(manual.find(escaped), std::string::npos);
    const Output run = Shell(Quote(TESSARIN_PROGRAM) + " " + o.trial + " </dev/null");
    EXPECT_EQ(run.err.find("unknown option"), std::string::npos) << run.err;
  }
  for (const char* topic : {"TARGET...", "--json", "PID", "summary", "time left"})
    EXPECT_NE(help.out.find(topic), std::string::npos) << topic;

  // As GNU programs give them: the help ends with where to report bugs,
  // the version names its copyright and licence, and so does the manual.
  EXPECT_NE(help.out.find("\nReport bugs to: <"), std::string::npos) << help.out;
  const Output version = Shell(Quote(TESSARIN_PROGRAM) + " --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("tessarin ", 0), 0u) << version.out;
  for (const char* line : {"\nCopyright (C) ", "\nLicense ", "NO WARRANTY"})
    EXPECT_NE(version.out.find(line), std::string::npos) << version.out;
  for (const char* section : {".SH REPORTING BUGS", ".SH COPYRIGHT"})
    EXPECT_NE(manual.find(section), std::string::npos) << section;
}

}  // namespace
}  // namespace e2e
