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

// https://learn.microsoft.com/windows/win32/api/dbt/ns-dbt-dev_broadcast_volume
// A volume broadcast with the media flag: a disc went into or out of a drive (every disc the
// autoloader loads during a run). No device came: it starts no rebuild.
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

// Placed in the middle of the screen, sized so that the client area is the form's.
void FormWindow::Create() {
  RECT frame{0, 0, form_.ClientWidth(), form_.ClientHeight()};
  ::AdjustWindowRectEx(&frame, Style(), FALSE, 0);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const int left = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int top = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  HWND window = ::CreateWindowExA(0, Win32Toolkit::kFormClass, form_.Caption().c_str(), Style(),
                                  left > 0 ? left : 0, top > 0 ? top : 0, width, height, owner_,
                                  nullptr, ::GetModuleHandleA(nullptr), nullptr);
  Attach(window);
  Sync();
}

bool FormWindow::ShouldBeVisible() const {
  return (toolkit_.Shown(form_) && form_.Visible()) || form_.modalOpen;
}

// https://learn.microsoft.com/windows/win32/devio/wm-devicechange
// Arrival and removal are the form's; so is a query to remove the device behind a handle it
// watches, which is always granted once the form has let the handle go. Any other event gets
// the default answer (TRUE: granted).
bool FormWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (message == WM_CLOSE) {
    toolkit_.RequestClose(form_);
    result = 0;
    return true;
  }
  if (message == WM_DEVICECHANGE && wParam == DBT_DEVICEQUERYREMOVE) {
    // lParam is the address of the broadcast; its header says which kind it is.
    const auto* watched =
        reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam);  // NOLINT(performance-no-int-to-ptr)
    if (watched != nullptr && watched->dbch_devicetype == DBT_DEVTYP_HANDLE &&
        watched->dbch_size >= offsetof(DEV_BROADCAST_HANDLE, dbch_handle) + sizeof(HANDLE) &&
        form_.onHandleQueryRemove) {
      form_.onHandleQueryRemove(reinterpret_cast<std::intptr_t>(watched->dbch_handle));
    }
    result = TRUE;
    return true;
  }
  if (message == WM_DEVICECHANGE && wParam == ui::kDbtDeviceArrival) {
    // The timer restarts with every arrival of a burst; the form hears of it once it settles.
    if (!IsMediaChange(lParam)) ::SetTimer(Window(), kArrivalTimer, kArrivalSettleMs, nullptr);
    result = TRUE;
    return true;
  }
  if (message == WM_TIMER && wParam == kArrivalTimer) {
    ::KillTimer(Window(), kArrivalTimer);
    form_.Dispatch(WM_DEVICECHANGE, ui::kDbtDeviceArrival, 0);
    result = 0;
    return true;
  }
  // A departed device must stop being used at once: a removal is the form's without delay.
  if (message == WM_DEVICECHANGE && wParam == ui::kDbtDeviceRemoveComplete) {
    result = form_.Dispatch(message, static_cast<unsigned long>(wParam), static_cast<long>(lParam));
    return true;
  }
  return false;
}

}  // namespace ui::win32
