// A label.
#include "ui/win32/LabelPeer.h"

#include "ui/win32/Win32Toolkit.h"

namespace ui::win32 {

void LabelPeer::Create() {
  CreateChild("STATIC", SS_LEFT | SS_NOPREFIX, 0);
}

void LabelPeer::Sync() {
  ApplyCommon();
  if (control_.Bounds().width != 0) return;
  HDC dc = ::GetDC(window_);
  HGDIOBJ old = ::SelectObject(dc, toolkit_.FontFor(control_.GetFont()));
  SIZE extent{};
  const std::string text = CodePageText(control_.Caption());
  ::GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  ::SelectObject(dc, old);
  ::ReleaseDC(window_, dc);
  ::SetWindowPos(window_, nullptr, 0, 0, extent.cx, extent.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace ui::win32
