// The common part of every native peer: one child window mirroring one ui::Control (position,
// font, enabled, visible, caption). The toolkit owns the peers; a peer owns its window.
#pragma once

#include <windows.h>

#include <string>

#include "ui/Controls.h"

namespace ui::win32 {

class Win32Toolkit;

// The core's texts are UTF-8 (the names and descriptions the system gives among them); these
// windows are ANSI and show the code page. A text that is valid UTF-8 beyond ASCII is shown in
// the code page, as those names were always shown; any other text (ASCII, a unit's reply bytes)
// is shown as it is.
std::string CodePageText(const std::string& text);

class NativeControl : public ui::Peer {
 public:
  NativeControl(Win32Toolkit& toolkit, ui::Control& control);
  // Destroys the window; never touches the control (it may be gone at program end).
  ~NativeControl() override;
  NativeControl(const NativeControl&) = delete;
  NativeControl& operator=(const NativeControl&) = delete;

  // Creates the window under the parent control's window. GUI thread.
  virtual void Create() = 0;
  HWND Window() const { return window_; }
  ui::Control& Model() const { return control_; }
  void Changed(ui::Control& control) override;

  // Notifications from the parent window, routed by ContainerProc.
  virtual void OnCommand(int code) { (void)code; }
  virtual LRESULT OnNotify(const NMHDR& header) {
    (void)header;
    return 0;
  }
  // Background brush for WM_CTLCOLOR*; null for the parent's (transparent on button face).
  virtual HBRUSH ControlColour(HDC dc) {
    (void)dc;
    return nullptr;
  }
  // Messages of windows whose procedure is ContainerProc; true when handled.
  virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    (void)message, (void)wParam, (void)lParam, (void)result;
    return false;
  }
  // The text the window shows (GetWindowText), for the state dump.
  std::string WindowText() const;

  // The peer of one of our windows, or null for any other window.
  static NativeControl* Of(HWND window);
  // Window procedure of forms and panels: routes the children's notifications to their peers.
  static LRESULT CALLBACK ContainerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 protected:
  void CreateChild(const char* className, DWORD style, DWORD exStyle, int height = 0);
  void Attach(HWND window);
  // Mirrors the control's state into the window; kind-specific peers add their own.
  virtual void Sync();
  virtual bool ShowsCaption() const { return true; }
  // The window text for the control's caption (a button adds its mnemonic).
  virtual std::string WindowCaption() const { return control_.Caption(); }
  virtual bool ShouldBeVisible() const { return control_.Visible(); }
  void ApplyCommon();
  // Moves and sizes the window to the control's bounds (called when they changed).
  virtual void ApplyBounds();

  Win32Toolkit& toolkit_;
  ui::Control& control_;
  HWND window_ = nullptr;
  bool syncing_ = false;         // set while the model is written into the window
  HFONT appliedFont_ = nullptr;  // the font last sent to the window
  ui::Rect appliedBounds_{};     // the bounds the window was last placed at
  int createdHeight_ = 0;        // a height given at creation (a combo's drop-down), scaled
};

}  // namespace ui::win32
