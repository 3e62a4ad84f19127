#include "win32/ui/progress_animation.h"

#include <commctrl.h>

#include "res/resource_ids.h"

tessarin::ui::CAnimateCtrl g_ctlProgressAnimation;

namespace tessarin::ui {

bool CAnimateCtrl::Create(DWORD style, const RECT& rect, HWND parent, UINT id) {
  m_hWnd = CreateWindowExA(0, ANIMATE_CLASSA, "", style, rect.left, rect.top, rect.right - rect.left,
                           rect.bottom - rect.top, parent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                           reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(parent, GWLP_HINSTANCE)), nullptr);
  return m_hWnd != nullptr;
}

bool CAnimateCtrl::Open(HINSTANCE module, UINT clipId) {
  return Send(ACM_OPENA, reinterpret_cast<WPARAM>(module), reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(clipId))) != 0;
}

void CAnimateCtrl::Close() { Send(ACM_OPENA, 0, 0); }

void CAnimateCtrl::Play(UINT from, UINT to, int repeat) {
  Send(ACM_PLAY, static_cast<WPARAM>(repeat), MAKELONG(from, to));
}

void CAnimateCtrl::Stop() { Send(ACM_STOP, 0, 0); }

}  // namespace tessarin::ui
