// The common part of the native peers and the container window procedure.
#include "ui/win32/NativeControl.h"

#include <string>

#include "ui/win32/Win32Toolkit.h"

namespace ui::win32 {

namespace {
constexpr const char* kPeerProperty = "VeltranePeer";
// Control ids, so that the dialog keys can name a button (DM_GETDEFID, WM_COMMAND): above IDOK,
// IDCANCEL and the other answers' ids, within the 16 bits a command carries.
constexpr int kFirstControlId = 100;
constexpr int kLastControlId = 0x7FFF;
int nextControlId = kFirstControlId;  // GUI thread
}  // namespace

std::string CodePageText(const std::string& text) {
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return text;
  const int length = static_cast<int>(text.size());
  const int wide =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (wide <= 0) return text;
  std::wstring utf16(static_cast<std::size_t>(wide), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, utf16.data(), wide);
  const int bytes =
      ::WideCharToMultiByte(CP_ACP, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return text;
  std::string shown(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, utf16.data(), wide, shown.data(), bytes, nullptr, nullptr);
  return shown;
}

NativeControl::NativeControl(Win32Toolkit& toolkit, ui::Control& control)
    : toolkit_(toolkit), control_(control) {}

NativeControl::~NativeControl() {
  if (window_ != nullptr && ::IsWindow(window_)) {
    ::RemovePropA(window_, kPeerProperty);
    ::DestroyWindow(window_);
  }
}

NativeControl* NativeControl::Of(HWND window) {
  return window != nullptr ? static_cast<NativeControl*>(::GetPropA(window, kPeerProperty))
                           : nullptr;
}

void NativeControl::Attach(HWND window) {
  window_ = window;
  if (window_ != nullptr) ::SetPropA(window_, kPeerProperty, this);
}

void NativeControl::CreateChild(const char* className, DWORD style, DWORD exStyle, int height) {
  const ui::Rect& b = control_.Bounds();
  HWND parent = toolkit_.WindowOf(control_.Parent());
  const Win32Toolkit& t = toolkit_;
  const int id = nextControlId;
  nextControlId = id == kLastControlId ? kFirstControlId : id + 1;
  HWND window = ::CreateWindowExA(
      exStyle, className, "", style | WS_CHILD, t.Scale(b.left), t.Scale(b.top), t.Scale(b.width),
      t.Scale(height != 0 ? height : b.height), parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),  // NOLINT(performance-no-int-to-ptr)
      ::GetModuleHandleA(nullptr), nullptr);
  appliedBounds_ = b;
  createdHeight_ = height != 0 ? t.Scale(height) : 0;
  Attach(window);
  Sync();
}

void NativeControl::ApplyBounds() {
  const ui::Rect& b = control_.Bounds();
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
  if (b.width == 0) flags |= SWP_NOSIZE;  // sized by its content
  const int height = createdHeight_ != 0 ? createdHeight_ : toolkit_.Scale(b.height);
  ::SetWindowPos(window_, nullptr, toolkit_.Scale(b.left), toolkit_.Scale(b.top),
                 toolkit_.Scale(b.width), height, flags);
}

void NativeControl::Changed(ui::Control&) {
  if (window_ == nullptr) return;
  Sync();
  toolkit_.MarkChanged();
}

void NativeControl::Sync() {
  ApplyCommon();
}

void NativeControl::ApplyCommon() {
  syncing_ = true;
  if (!(control_.Bounds() == appliedBounds_)) {
    ApplyBounds();
    appliedBounds_ = control_.Bounds();
  }
  // Only a new font: WM_SETFONT lays the control out again, and a combo box closes its open
  // drop-down for it, which every caption or item change would do to the operator.
  HFONT font = toolkit_.FontFor(control_.GetFont());
  if (font != appliedFont_) {
    ::SendMessageA(window_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    appliedFont_ = font;
  }
  if (ShowsCaption()) {
    const std::string caption = CodePageText(WindowCaption());
    if (WindowText() != caption) ::SetWindowTextA(window_, caption.c_str());
  }
  const bool visible = ShouldBeVisible();
  // A control about to be disabled or hidden hands the focus on first (Start, pressed with the
  // keyboard, becomes "Testing..."): a disabled window with the focus takes no keys.
  if ((!control_.Enabled() || !visible) && (::GetWindowLongA(window_, GWL_STYLE) & WS_CHILD)) {
    HWND focus = ::GetFocus();
    if (focus != nullptr && (focus == window_ || ::IsChild(window_, focus))) {
      ::SendMessageA(::GetAncestor(window_, GA_ROOT), WM_NEXTDLGCTL, 0, 0);
    }
  }
  if ((::IsWindowEnabled(window_) != FALSE) != control_.Enabled()) {
    ::EnableWindow(window_, control_.Enabled());
  }
  if (((::GetWindowLongA(window_, GWL_STYLE) & WS_VISIBLE) != 0) != visible) {
    ::ShowWindow(window_, visible ? SW_SHOWNA : SW_HIDE);
  }
  syncing_ = false;
}

std::string NativeControl::WindowText() const {
  const int length = ::GetWindowTextLengthA(window_);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int copied = ::GetWindowTextA(window_, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return text;
}

namespace {

LRESULT ColourFor(HWND child, HDC dc) {
  if (NativeControl* peer = NativeControl::Of(child)) {
    if (HBRUSH brush = peer->ControlColour(dc)) return reinterpret_cast<LRESULT>(brush);
  }
  ::SetBkMode(dc, TRANSPARENT);
  return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
}

}  // namespace

LRESULT CALLBACK NativeControl::ContainerProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
  if (NativeControl* self = Of(window)) {
    LRESULT result = 0;
    if (self->HandleMessage(message, wParam, lParam, result)) return result;
  }
  switch (message) {
    case WM_COMMAND:
      if (NativeControl* child = Of(reinterpret_cast<HWND>(lParam))) {
        child->OnCommand(HIWORD(wParam));
        return 0;
      }
      break;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (NativeControl* child = Of(header->hwndFrom)) return child->OnNotify(*header);
      break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
      return ColourFor(reinterpret_cast<HWND>(lParam), reinterpret_cast<HDC>(wParam));
    default:
      break;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace ui::win32
