// A top-level window mirroring a ui::Form: client size, single fixed border, system menu and
// minimise box as the form says; the close box asks the toolkit to close; WM_DEVICECHANGE goes
// to the form's Dispatch.
#pragma once

#include <deque>

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class FormWindow : public NativeControl {
 public:
  FormWindow(Win32Toolkit& toolkit, ui::Form& form, HWND owner);
  void Create() override;
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  struct HandleEnded {
    bool refused;
    std::intptr_t handle;
    std::intptr_t notification;
  };
  bool DeviceChange(WPARAM event, LPARAM lParam, LRESULT& result);
  bool ShouldBeVisible() const override;
  DWORD Style() const;
  ui::Form& form_;
  HWND owner_;
  bool removalPosted_ = false;           // a removal scan is waiting in the queue
  std::deque<HandleEnded> handleEnded_;  // handle events waiting for their posted message
};

}  // namespace ui::win32
