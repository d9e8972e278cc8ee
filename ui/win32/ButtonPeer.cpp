// A push button.
#include "ui/win32/ButtonPeer.h"

namespace ui::win32 {

void ButtonPeer::Create() {
  CreateChild("BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0);
}

void ButtonPeer::OnCommand(int code) {
  if (code == BN_CLICKED && !syncing_) static_cast<ui::Button&>(control_).Click();
}

}  // namespace ui::win32
