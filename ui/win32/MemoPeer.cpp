// The result memo.
#include "ui/win32/MemoPeer.h"

#include <algorithm>

namespace ui::win32 {

void MemoPeer::Create() {
  const auto& memo = static_cast<const ui::Memo&>(control_);
  DWORD style = ES_MULTILINE | ES_AUTOVSCROLL | WS_TABSTOP;
  if (memo.readOnly) style |= ES_READONLY;
  if (memo.verticalScrollBar) style |= WS_VSCROLL;
  CreateChild("EDIT", style, WS_EX_CLIENTEDGE);
  ::SendMessageA(window_, EM_SETLIMITTEXT, 0, 0);  // no 32 KB cap on a long run's summary
}

// A read-only edit asks for the static colour; it stays white like any text field.
HBRUSH MemoPeer::ControlColour(HDC dc) {
  ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
  return ::GetSysColorBrush(COLOR_WINDOW);
}

void MemoPeer::Sync() {
  ApplyCommon();
  const std::vector<std::string>& lines = static_cast<const ui::Memo&>(control_).Lines();
  const bool appended =
      lines.size() >= shown_.size() && std::equal(shown_.begin(), shown_.end(), lines.begin());
  if (appended && lines.size() == shown_.size()) return;
  std::string text;
  for (std::size_t i = appended ? shown_.size() : 0; i < lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += CodePageText(lines[i]);
  }
  if (appended) {
    const int end = ::GetWindowTextLengthA(window_);
    ::SendMessageA(window_, EM_SETSEL, end, end);
    ::SendMessageA(window_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  } else {
    ::SetWindowTextA(window_, text.c_str());
  }
  shown_ = lines;
}

}  // namespace ui::win32
