// A panel: button-face background with a raised bevel.
#include "ui/win32/PanelPeer.h"

#include "ui/win32/Win32Toolkit.h"

namespace ui::win32 {

void PanelPeer::Create() {
  CreateChild(Win32Toolkit::kPanelClass, WS_CLIPSIBLINGS, 0);
}

bool PanelPeer::HandleMessage(UINT message, WPARAM, LPARAM, LRESULT& result) {
  if (message != WM_PAINT) return false;
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(window_, &paint);
  RECT client;
  ::GetClientRect(window_, &client);
  ::DrawEdge(dc, &client, BDR_RAISEDINNER, BF_RECT);
  ::EndPaint(window_, &paint);
  result = 0;
  return true;
}

}  // namespace ui::win32
