// A ui::Label as a static text on the parent's background; a label without a size takes the size
// of its caption.
#pragma once

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class LabelPeer : public NativeControl {
 public:
  using NativeControl::NativeControl;
  void Create() override;

 private:
  void Sync() override;
};

}  // namespace ui::win32
