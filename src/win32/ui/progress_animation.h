// The animation control that shows the restore's progress.
#pragma once

#include <windows.h>

#include "win32/ui/framework/data_exchange.h"

namespace tessarin::ui {

class CAnimateCtrl : public CControl {
 public:
  // Creates the control's window inside the parent.
  bool Create(DWORD style, const RECT& rect, HWND parent, UINT id);
  bool Open(HINSTANCE module, UINT clipId);
  void Close();
  // Plays frames from..to, repeat times (-1: until stopped).
  void Play(UINT from, UINT to, int repeat);
  void Stop();
};

// The still picture every clip ends with.
inline constexpr UINT kStillFrame = 17;
inline constexpr UINT kLastMovingFrame = 16;

}  // namespace tessarin::ui

// The process-wide progress animation; its window is made by the main
// dialog and goes away with it.
extern tessarin::ui::CAnimateCtrl g_ctlProgressAnimation;
