// A ui::ComboBox as a drop-down combo box with an edit field: picking an item and typing text
// are the control's PickItem and TypeText.
#pragma once

#include <string>
#include <vector>

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class ComboBoxPeer : public NativeControl {
 public:
  using NativeControl::NativeControl;
  void Create() override;
  void OnCommand(int code) override;

 private:
  void Sync() override;
  void FitDroppedWidth();
  bool ShowsCaption() const override { return false; }
  ui::ComboBox& Combo() const { return static_cast<ui::ComboBox&>(control_); }
  std::vector<std::string> shownItems_;
};

}  // namespace ui::win32
