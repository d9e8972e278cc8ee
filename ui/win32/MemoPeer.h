// A ui::Memo as a read-only multi-line edit with a vertical scroll bar on a window-coloured
// background. Appended lines are added at the end, so the operator's scroll position holds.
#pragma once

#include <string>
#include <vector>

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class MemoPeer : public NativeControl {
 public:
  using NativeControl::NativeControl;
  void Create() override;
  HBRUSH ControlColour(HDC dc) override;

 private:
  void Sync() override;
  bool ShowsCaption() const override { return false; }
  std::vector<std::string> shown_;
};

}  // namespace ui::win32
