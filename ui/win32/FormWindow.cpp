// A form's top-level window.
#include "ui/win32/FormWindow.h"

#include <dbt.h>

#include <cstddef>

#include "ui/Toolkit.h"
#include "ui/win32/Win32Toolkit.h"

namespace ui::win32 {

namespace {

// One plug-in brings a burst of arrival broadcasts (the interface, its storage child, the volume
// with its letter), and a printer's queue may appear only after the first of them: each would
// be a whole rescan on the GUI thread. The arrivals of a burst start one rebuild, this long
// after the last of them.
constexpr UINT_PTR kArrivalTimer = 0x5641;
constexpr UINT kArrivalSettleMs = 1000;

// The messages a device broadcast leaves to be handled after it has been answered: the removal
// scan, and the end of a removal of a watched handle's device.
constexpr UINT kRemovalMessage = WM_APP + 0x41;
constexpr UINT kHandleEndedMessage = WM_APP + 0x42;

// https://learn.microsoft.com/windows/win32/api/dbt/ns-dbt-dev_broadcast_volume
// A volume broadcast with the media flag: a disc went into or out of a drive (every disc the
// autoloader loads or takes out during a run). No device came or went: it starts no scan.
bool IsMediaChange(LPARAM lParam) {
  const auto* header =
      reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);  // NOLINT(performance-no-int-to-ptr)
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_VOLUME ||
      header->dbch_size < sizeof(DEV_BROADCAST_VOLUME)) {
    return false;
  }
  const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header);
  return (volume->dbcv_flags & DBTF_MEDIA) != 0;
}

}  // namespace

FormWindow::FormWindow(Win32Toolkit& toolkit, ui::Form& form, HWND owner)
    : NativeControl(toolkit, form), form_(form), owner_(owner) {}

// No WS_THICKFRAME: a single fixed border that cannot be dragged to another size.
DWORD FormWindow::Style() const {
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
  if (form_.systemMenu) style |= WS_SYSMENU;
  if (form_.minimizeBox) style |= WS_MINIMIZEBOX;
  if (form_.maximizeBox) style |= WS_MAXIMIZEBOX;
  if (!form_.fixedSingleBorder) style |= WS_THICKFRAME;
  return style;
}

// Placed in the middle of the screen, sized so that the client area is the form's (scaled).
void FormWindow::Create() {
  RECT frame{0, 0, toolkit_.Scale(form_.ClientWidth()), toolkit_.Scale(form_.ClientHeight())};
  ::AdjustWindowRectEx(&frame, Style(), FALSE, 0);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const int left = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int top = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  HWND window =
      ::CreateWindowExA(0, Win32Toolkit::kFormClass, CodePageText(form_.Caption()).c_str(), Style(),
                        left > 0 ? left : 0, top > 0 ? top : 0, width, height, owner_, nullptr,
                        ::GetModuleHandleA(nullptr), nullptr);
  appliedBounds_ = form_.Bounds();
  Attach(window);
  Sync();
}

// A new client size; the window keeps its place on the screen.
void FormWindow::ApplyBounds() {
  RECT frame{0, 0, toolkit_.Scale(form_.ClientWidth()), toolkit_.Scale(form_.ClientHeight())};
  ::AdjustWindowRectEx(&frame, Style(), FALSE, 0);
  ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool FormWindow::ShouldBeVisible() const {
  return (toolkit_.Shown(form_) && form_.Visible()) || form_.modalOpen;
}

// https://learn.microsoft.com/windows/win32/devio/wm-devicechange
// The system waits for the answer to a device broadcast, and so do the other programs it goes to:
// the window answers at once and does the work from a message of its own. Only a query to remove
// the device behind a watched handle is handled inside the broadcast: its handle must be closed
// before the answer, or the removal is refused.
bool FormWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (DialogKey(message, wParam, lParam, result)) return true;
  if (message == WM_CLOSE) {
    toolkit_.RequestClose(form_);
    result = 0;
    return true;
  }
  if (message == WM_DEVICECHANGE) return DeviceChange(wParam, lParam, result);
  // https://learn.microsoft.com/windows/win32/shutdown/wm-queryendsession
  // https://learn.microsoft.com/windows/win32/shutdown/wm-endsession
  // The form answers the query at once and does what the end needs inside WM_ENDSESSION: once
  // that returns, the process may be ended at any moment.
  if (message == WM_QUERYENDSESSION || message == WM_ENDSESSION) {
    result = form_.Dispatch(message, static_cast<unsigned long>(wParam), static_cast<long>(lParam));
    return true;
  }
  if (message == WM_TIMER && wParam == kArrivalTimer) {
    ::KillTimer(Window(), kArrivalTimer);
    form_.Dispatch(WM_DEVICECHANGE, ui::kDbtDeviceArrival, 0);
    result = 0;
    return true;
  }
  if (message == kRemovalMessage) {
    removalPosted_ = false;
    form_.Dispatch(WM_DEVICECHANGE, ui::kDbtDeviceRemoveComplete, 0);
    result = 0;
    return true;
  }
  if (message == kHandleEndedMessage) {
    if (!handleEnded_.empty()) {
      const HandleEnded ended = handleEnded_.front();
      handleEnded_.pop_front();
      if (form_.onHandleRemoveEnded) {
        form_.onHandleRemoveEnded(ended.refused, ended.handle, ended.notification);
      }
    }
    result = 0;
    return true;
  }
  return false;
}

void FormWindow::SetDialogButtons(const ui::Button* defaultButton, const ui::Button* cancelButton) {
  if (HWND old = toolkit_.WindowOf(defaultButton_)) {
    ::SendMessageA(old, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
  }
  defaultButton_ = defaultButton;
  cancelButton_ = cancelButton;
  if (HWND button = toolkit_.WindowOf(defaultButton_)) {
    ::SendMessageA(button, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
  }
}

// The button's window while the operator could press it, or null.
HWND FormWindow::Usable(const ui::Button* button) const {
  HWND window = toolkit_.WindowOf(button);
  return window != nullptr && ::IsWindowEnabled(window) && ::IsWindowVisible(window) ? window
                                                                                     : nullptr;
}

// The focus as it was, when that control can still take it; else the default button, else the
// first control in the tab order.
bool FormWindow::RestoreFocus() {
  HWND focus = savedFocus_;
  if (focus == nullptr || !::IsChild(Window(), focus) || !::IsWindowVisible(focus) ||
      !::IsWindowEnabled(focus)) {
    focus = Usable(defaultButton_);
  }
  if (focus == nullptr) focus = ::GetNextDlgTabItem(Window(), nullptr, FALSE);
  if (focus == nullptr) return false;
  ::SetFocus(focus);
  return true;
}

// https://learn.microsoft.com/windows/win32/dlgbox/dlgbox-programming-considerations
// The message loop hands the keys to IsDialogMessage, which sends the window what a dialog box
// procedure would answer: the default button's id, the move to another control (also from the
// result memo, which takes every key itself), and the commands of Enter and Esc.
bool FormWindow::DialogKey(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  switch (message) {
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = ::GetFocus();
        if (focus != nullptr && ::IsChild(Window(), focus)) savedFocus_ = focus;
        return false;
      }
      // Minimised, the focus waits for the restore; with no control to take it, the window does.
      if (HIWORD(wParam) != 0 || !RestoreFocus()) return false;
      result = 0;
      return true;
    case WM_SETFOCUS:
      if (!RestoreFocus()) return false;
      result = 0;
      return true;
    case WM_NEXTDLGCTL: {
      HWND next = lParam != 0 ? reinterpret_cast<HWND>(wParam)  // NOLINT(performance-no-int-to-ptr)
                              : ::GetNextDlgTabItem(Window(), ::GetFocus(), wParam != 0);
      if (next != nullptr) {
        if (lParam == 0 && (::SendMessageA(next, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) != 0) {
          ::SendMessageA(next, EM_SETSEL, 0, -1);
        }
        ::SetFocus(next);
      }
      result = 0;
      return true;
    }
    case DM_GETDEFID: {
      // A focused button is the one Enter presses.
      HWND focus = ::GetFocus();
      HWND button = focus != nullptr && ::IsChild(Window(), focus) &&
                            (::SendMessageA(focus, WM_GETDLGCODE, 0, 0) &
                             (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) != 0
                        ? focus
                        : Usable(defaultButton_);
      result = button != nullptr ? MAKELRESULT(::GetDlgCtrlID(button), DC_HASDEFID) : 0;
      return true;
    }
    case WM_COMMAND: {
      if (lParam != 0) return false;  // a control's own notification
      // Esc (IDCANCEL), or Enter (IDOK) with no default button: no control sent these.
      if (LOWORD(wParam) == IDCANCEL) {
        if (HWND cancel = Usable(cancelButton_)) {
          ::SendMessageA(cancel, BM_CLICK, 0, 0);
        }
      }
      result = 0;
      return true;
    }
    default:
      return false;
  }
}

// Every device event is granted (TRUE) but a query to remove a handle its handler cannot close.
bool FormWindow::DeviceChange(WPARAM event, LPARAM lParam, LRESULT& result) {
  result = TRUE;
  // lParam is the address of the broadcast (none for some events); its header says which kind.
  const auto* header =
      reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);  // NOLINT(performance-no-int-to-ptr)
  if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
    // A watched handle: only its own handler hears of it, never the console's scans.
    const auto* watched = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(header);
    if (header->dbch_size < offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify) + sizeof(HDEVNOTIFY)) {
      return true;
    }
    const auto handle = reinterpret_cast<std::intptr_t>(watched->dbch_handle);
    const auto notification = reinterpret_cast<std::intptr_t>(watched->dbch_hdevnotify);
    if (event == DBT_DEVICEQUERYREMOVE) {
      // https://learn.microsoft.com/windows/win32/devio/dbt-devicequeryremove: a handle left
      // open fails the removal, so it is refused outright rather than granted in vain.
      if (form_.onHandleQueryRemove && !form_.onHandleQueryRemove(handle)) {
        result = BROADCAST_QUERY_DENY;
      }
    } else if (event == DBT_DEVICEQUERYREMOVEFAILED || event == DBT_DEVICEREMOVEPENDING ||
               event == DBT_DEVICEREMOVECOMPLETE) {
      handleEnded_.push_back({event == DBT_DEVICEQUERYREMOVEFAILED, handle, notification});
      ::PostMessageA(Window(), kHandleEndedMessage, 0, 0);
    }
    return true;
  }
  // A disc going in or out of a drive is no device coming or going.
  if (IsMediaChange(lParam)) return true;
  if (event == ui::kDbtDeviceArrival) {
    // The timer restarts with every arrival of a burst; the form hears of it once it settles.
    ::SetTimer(Window(), kArrivalTimer, kArrivalSettleMs, nullptr);
    return true;
  }
  if (event == ui::kDbtDeviceRemoveComplete) {
    // A departed device must stop being used soon: the scan runs as the next message, once for
    // the removals that arrive before it.
    if (!removalPosted_) removalPosted_ = ::PostMessageA(Window(), kRemovalMessage, 0, 0) != FALSE;
    return true;
  }
  return true;
}

}  // namespace ui::win32
