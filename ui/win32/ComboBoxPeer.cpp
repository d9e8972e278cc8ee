// A drop-down combo box.
#include "ui/win32/ComboBoxPeer.h"

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
      ::SendMessageA(window_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
    shownItems_ = combo.Items();
  }
  if (::SendMessageA(window_, CB_GETCURSEL, 0, 0) != combo.ItemIndex()) {
    ::SendMessageA(window_, CB_SETCURSEL, static_cast<WPARAM>(combo.ItemIndex()), 0);
  }
  if (WindowText() != combo.Text()) ::SetWindowTextA(window_, combo.Text().c_str());
  syncing_ = false;
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
