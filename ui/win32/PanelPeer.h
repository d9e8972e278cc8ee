// A ui::Panel as a raised, captionless container window; its children's notifications pass
// through it to their peers.
#pragma once

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class PanelPeer : public NativeControl {
 public:
  using NativeControl::NativeControl;
  void Create() override;
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  bool ShowsCaption() const override { return false; }
};

}  // namespace ui::win32
