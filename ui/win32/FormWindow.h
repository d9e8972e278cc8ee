// A top-level window mirroring a ui::Form: client size, single fixed border, system menu and
// minimise box as the form says; the close box asks the toolkit to close; WM_DEVICECHANGE goes
// to the form's Dispatch.
#pragma once

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class FormWindow : public NativeControl {
 public:
  FormWindow(Win32Toolkit& toolkit, ui::Form& form, HWND owner);
  void Create() override;
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  bool ShouldBeVisible() const override;
  DWORD Style() const;
  ui::Form& form_;
  HWND owner_;
};

}  // namespace ui::win32
