// A ui::Image as a window drawing the model picture named after the control ("Image1" shows the
// BITMAP resource "IMAGE1"); magenta pixels let the parent's background through.
#pragma once

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class ImagePeer : public NativeControl {
 public:
  using NativeControl::NativeControl;
  ~ImagePeer() override;
  void Create() override;
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  static LRESULT CALLBACK PictureProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  bool ShowsCaption() const override { return false; }
  void Paint();
  HBITMAP picture_ = nullptr;
};

}  // namespace ui::win32
