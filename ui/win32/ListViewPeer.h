// A ui::ListView as a comctl32 list view in report style without column headers, with the
// toolkit's status image list as its small images.
#pragma once

#include <vector>

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class ListViewPeer : public NativeControl {
 public:
  using NativeControl::NativeControl;
  void Create() override;
  HBRUSH ControlColour(HDC dc) override;
  // What the window shows, for the state dump.
  int ShownImage(int index) const;
  std::string ShownText(int index) const;
  int ShownCount() const;

 private:
  void Sync() override;
  bool ShowsCaption() const override { return false; }
  void SyncColumns();
  void SyncItems();
  void InsertItem(int index, const ui::ListView::Item& item);
  ui::ListView& List() const { return static_cast<ui::ListView&>(control_); }
  std::vector<ui::ListView::Item> shown_;
  std::vector<int> shownColumns_;
};

}  // namespace ui::win32
