// A top-level window mirroring a ui::Form: client size, single fixed border, system menu and
// minimise box as the form says; the close box asks the toolkit to close; WM_DEVICECHANGE and
// the session's end (WM_QUERYENDSESSION, WM_ENDSESSION) go to the form's Dispatch. The keyboard
// works as in a dialog box: Tab and Shift+Tab move through the controls in their order on the
// screen, Enter presses the focused button or else the form's default one, Esc its cancel button,
// and the focus comes back to where it was when the window is active again (after a box, a dialog
// or another program).
#pragma once

#include <deque>

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

class FormWindow : public NativeControl {
 public:
  FormWindow(Win32Toolkit& toolkit, ui::Form& form, HWND owner);
  void Create() override;
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  // The next activation puts the focus where a new window has it: on the default button, or
  // else the first control in the tab order.
  void ForgetFocus() { savedFocus_ = nullptr; }
  // Enter presses the default button (unless the focus is on another button), which has the
  // default border; Esc presses the cancel button. Either may be null.
  void SetDialogButtons(const ui::Button* defaultButton, const ui::Button* cancelButton);

 private:
  struct HandleEnded {
    bool refused;
    std::intptr_t handle;
    std::intptr_t notification;
  };
  bool DeviceChange(WPARAM event, LPARAM lParam, LRESULT& result);
  bool ShouldBeVisible() const override;
  void ApplyBounds() override;
  DWORD Style() const;
  bool DialogKey(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
  bool RestoreFocus();
  HWND Usable(const ui::Button* button) const;
  ui::Form& form_;
  HWND owner_;
  const ui::Button* defaultButton_ = nullptr;
  const ui::Button* cancelButton_ = nullptr;
  HWND savedFocus_ = nullptr;            // the focus when the window was last deactivated
  bool removalPosted_ = false;           // a removal scan is waiting in the queue
  std::deque<HandleEnded> handleEnded_;  // handle events waiting for their posted message
};

}  // namespace ui::win32
