// A ui::Button as a push button; a click by the operator is the control's Click().
#pragma once

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class ButtonPeer : public NativeControl {
 public:
  using NativeControl::NativeControl;
  void Create() override;
  void OnCommand(int code) override;
};

}  // namespace ui::win32
