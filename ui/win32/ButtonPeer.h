// A ui::Button as a push button; a click by the operator is the control's Click(). Each caption the
// program shows has its mnemonic (Alt and the underlined letter press the button); the letters
// shown stay the caption's.
#pragma once

#include <string>

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class ButtonPeer : public NativeControl {
 public:
  using NativeControl::NativeControl;
  void Create() override;
  void OnCommand(int code) override;

 private:
  std::string WindowCaption() const override;
};

}  // namespace ui::win32
