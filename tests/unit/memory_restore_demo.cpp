// Runs one whole restore against a card held in memory and prints the log
// lines as the dialog shows them, with the message boxes in between.
#include <cstdio>

#include "fakes.h"
#include "restore/restore_sequence.h"

namespace {

class PrintingOperator final : public tessarin::OperatorPort {
 public:
  explicit PrintingOperator(tessarin::OperatorPort& inner) : inner_(inner) {}
  int ShowMessageBox(const std::string& text, unsigned flags) override {
    std::printf("[message box, flags 0x%02X]\n%s\n[end of box]\n", flags, text.c_str());
    return inner_.ShowMessageBox(text, flags);
  }
  void AddLogLine(const std::string& line) override {
    std::printf("%s\n", line.c_str());
    inner_.AddLogLine(line);
  }
  void AddLogLineNoScroll(const std::string& line) override {
    std::printf("%s\n", line.c_str());
    inner_.AddLogLineNoScroll(line);
  }
  void StartProgressAnimation() override { inner_.StartProgressAnimation(); }
  void StopProgressAnimation() override { inner_.StopProgressAnimation(); }
  void SetBusy(bool busy) override { inner_.SetBusy(busy); }
  tessarin::DialogValues ExchangeIntoMembers() override { return inner_.ExchangeIntoMembers(); }

 private:
  tessarin::OperatorPort& inner_;
};

}  // namespace

int main() {
  using namespace tessarin;
  test::World w;
  w.files.AddFile("e:\\Project\\main.prj", 1200);
  w.files.AddFile("e:\\Project\\screens\\start.bmp", 40000);
  w.installer.filesWritten = {"e:\\BLDR", "e:\\nk.bin"};
  w.profile.SetFile("C:\\Tessarin\\CFDef.ini",
                    "[CF0]\nModelNumber=SD 1GB\nCapacity=1000000000\nSectorsPerCard=1953125\nNoHeads=32\n"
                    "NoSectorsPerTrack=63\nNoCylinders=968\n");
  w.format.shape.heads = 255;
  w.system.stamp = "10:15:00";

  PrintingOperator printing(w.ui);
  OperationLog cardLog(printing, w.system, w.resources);
  HandleCard card(w.device, cardLog);
  RestoreContext ctx(Ports{printing, w.system, w.resources, card, w.format, w.installer, w.files, w.profile});
  ctx.SetSystemKind(static_cast<int>(SystemKind::WinCE));
  g_nSystemKind = ctx.GetSystemKind();

  std::printf("Restoring the in-memory card in drive e: (Windows CE)\n\n");
  const RestoreResult result = RestoreWorker(ctx);
  std::printf("\nMaster boot record: partition 1 %s; boot sector: %u heads, %u sectors per track\n",
              w.card.Mbr()[446] == 0x80 ? "active" : "not active",
              static_cast<unsigned>(w.card.VolumeBoot()[26] | (w.card.VolumeBoot()[27] << 8)),
              static_cast<unsigned>(w.card.VolumeBoot()[24] | (w.card.VolumeBoot()[25] << 8)));
  return result == RestoreResult::Completed ? 0 : 1;
}
