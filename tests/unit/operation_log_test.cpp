#include "card/operation_log.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace tessarin::test {
namespace {

TEST(MessageBoxLayer, AddsTheIconByBoxType) {
  struct {
    unsigned in, out;
  } cases[] = {
      {kMbOk, kMbOk | kMbIconExclamation},
      {kMbOkCancel, kMbOkCancel | kMbIconExclamation},
      {kMbYesNo, kMbYesNo | kMbIconQuestion},
      {kMbYesNoCancel, kMbYesNoCancel | kMbIconQuestion},
      {kMbOk | kMbIconExclamation, kMbOk | kMbIconExclamation},
      {kMbYesNo | kMbIconExclamation, kMbYesNo | kMbIconExclamation},
      {kMbOk | 0x10, kMbOk | 0x10},  // a named icon stays
  };
  for (const auto& c : cases) EXPECT_EQ(ApplyDefaultIcon(c.in), c.out) << c.in;
}

TEST(MessageBoxLayer, FlagsZeroAndFlags0x30GiveTheSameBox) {
  World w;
  w.ctx.log.ShowMessageBox("a", 0);
  w.ctx.log.ShowMessageBox("b", 0x30);
  ASSERT_EQ(w.ui.boxes.size(), 2u);
  EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
  EXPECT_EQ(w.ui.boxes[1].flags, 0x30u);
}

TEST(SystemErrorText, ComposesWordCodeAndSystemText) {
  using D = FailureDescription;
  EXPECT_EQ(ComposeSystemErrorText("Error", D{5, "Access is denied.\r\n"}), "Error 5\n\nAccess is denied.\r\n");
  // Codes are shown signed, as HRESULT-style codes are.
  EXPECT_EQ(ComposeSystemErrorText("Error", D{0x80070005u, "x"}), "Error -2147024891\n\nx");
  // Never cut: a text far beyond 127 characters arrives whole.
  const std::string longText(400, 't');
  EXPECT_EQ(ComposeSystemErrorText("Error", D{1, longText}), "Error 1\n\n" + longText);
  // No text from the system: the word and the number still lead.
  const std::string none = ComposeSystemErrorText("Error", D{31337, std::nullopt});
  EXPECT_EQ(none.rfind("Error 31337\n\n", 0), 0u);
  EXPECT_GT(none.size(), std::string("Error 31337\n\n").size());
  // A failure without a number of the platform's: the word and the text.
  EXPECT_EQ(ComposeSystemErrorText("Error", D{std::nullopt, "The card is write-protected."}),
            "Error\n\nThe card is write-protected.");
}

TEST(ShowSystemError, NothingFailedShowsNothingAndLeavesTheAnimation) {
  World w;
  w.ui.StartProgressAnimation();
  w.ctx.log.ShowSystemError(Failure{});
  EXPECT_TRUE(w.ui.boxes.empty());
  EXPECT_TRUE(w.ui.animating);
}

TEST(ShowSystemError, StopsTheAnimationThenShowsTheBox) {
  World w;
  w.ui.StartProgressAnimation();
  w.journal.clear();
  w.ctx.log.ShowSystemError(Failure::Win32(FailureKind::Open, 5));
  EXPECT_EQ(w.journal, (Journal{"animation stop", "box Error 5"}));
  ASSERT_EQ(w.ui.boxes.size(), 1u);
  EXPECT_EQ(w.ui.boxes[0].text, "Error 5\n\nAccess is denied.\r\n");
  EXPECT_EQ(w.ui.boxes[0].flags, 0x30u);
}

TEST(Failure, CodesKeepTheirOrigin) {
  // errno 13 (EACCES) and Windows' 13 (ERROR_INVALID_DATA) are different
  // failures.
  EXPECT_NE(Failure::Errno(FailureKind::Open, 13), Failure::Win32(FailureKind::Open, 13));
  // A call that failed without leaving a code is still a failure.
  EXPECT_TRUE(Failure::Win32(FailureKind::Write, 0));
  EXPECT_EQ(Failure::Errno(FailureKind::Read, 0), Failure::Own(FailureKind::Read));
  EXPECT_FALSE(Failure{});
}

TEST(OperationLog, JoinsTimeStampAndMessageWithoutSeparator) {
  World w;
  w.system.stamp = "9:05:01 AM";
  w.ctx.log.Log("::Info:: a");
  w.ctx.log.LogNoScroll("::Warning:: b");
  w.ctx.log.Log("::Error:: c");
  EXPECT_EQ(w.journal,
            (Journal{"log 9:05:01 AM::Info:: a", "log-noscroll 9:05:01 AM::Warning:: b", "log 9:05:01 AM::Error:: c"}));
}

}  // namespace
}  // namespace tessarin::test
