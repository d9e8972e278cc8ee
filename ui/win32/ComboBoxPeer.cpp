// A drop-down combo box.
#include "ui/win32/ComboBoxPeer.h"

#include <algorithm>

#include "ui/win32/Win32Toolkit.h"

namespace ui::win32 {

namespace {
constexpr int kDroppedHeight = 200;  // the closed box takes its height from the font
}

void ComboBoxPeer::Create() {
  CreateChild("COMBOBOX", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 0,
              kDroppedHeight);
}

void ComboBoxPeer::Sync() {
  ApplyCommon();
  syncing_ = true;
  const ui::ComboBox& combo = Combo();
  if (shownItems_ != combo.Items()) {
    ::SendMessageA(window_, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : combo.Items()) {
      const std::string shown = CodePageText(item);
      ::SendMessageA(window_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    }
    shownItems_ = combo.Items();
    FitDroppedWidth();
  }
  if (::SendMessageA(window_, CB_GETCURSEL, 0, 0) != combo.ItemIndex()) {
    ::SendMessageA(window_, CB_SETCURSEL, static_cast<WPARAM>(combo.ItemIndex()), 0);
  }
  const std::string text = CodePageText(combo.Text());
  if (WindowText() != text) ::SetWindowTextA(window_, text.c_str());
  syncing_ = false;
}

// A station's items carry their unit's state ("... - running, row 4 of 11"): the list drops down
// wide enough to show the longest whole, never narrower than the box.
void ComboBoxPeer::FitDroppedWidth() {
  HDC dc = ::GetDC(window_);
  if (dc == nullptr) return;
  HGDIOBJ previous = ::SelectObject(dc, toolkit_.FontFor(control_.GetFont()));
  int widest = 0;
  for (const std::string& item : shownItems_) {
    const std::string shown = CodePageText(item);
    SIZE size{};
    if (::GetTextExtentPoint32A(dc, shown.c_str(), static_cast<int>(shown.size()), &size)) {
      widest = std::max(widest, static_cast<int>(size.cx));
    }
  }
  ::SelectObject(dc, previous);
  ::ReleaseDC(window_, dc);
  // Room for the list's border and the item's margins on either side.
  const int width = widest + toolkit_.Scale(12) + ::GetSystemMetrics(SM_CXVSCROLL);
  ::SendMessageA(window_, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(width), 0);
}

void ComboBoxPeer::OnCommand(int code) {
  // The state dump tells whether the list is open.
  if (code == CBN_DROPDOWN || code == CBN_CLOSEUP) toolkit_.MarkChanged();
  if (syncing_) return;
  if (code == CBN_SELCHANGE) {
    const LRESULT index = ::SendMessageA(window_, CB_GETCURSEL, 0, 0);
    if (index != CB_ERR) Combo().PickItem(static_cast<int>(index));
  } else if (code == CBN_EDITCHANGE) {
    Combo().TypeText(WindowText());
  }
}

}  // namespace ui::win32
