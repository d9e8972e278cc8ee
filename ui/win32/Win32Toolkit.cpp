// The native toolkit's loop, invokes, posts, timers, message boxes and modal forms.
#include "ui/win32/Win32Toolkit.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "ui/win32/FormWindow.h"
#include "ui/win32/ImagePeer.h"
#include "ui/win32/NativeControl.h"
#include "ui/win32/PeerFactory.h"
#include "ui/win32/TimerPeer.h"

namespace ui::win32 {

namespace {

constexpr UINT kInvokeMessage = WM_APP + 1;
constexpr UINT kPostMessage = WM_APP + 2;
constexpr UINT kBringForwardMessage = WM_APP + 3;  // from a second copy of the program
constexpr UINT kBringForwardWaitMs = 2000;         // a hung first copy does not hold the second
constexpr UINT_PTR kDumpTimer = 0x7FFF0000;
constexpr UINT kDumpIntervalMs = 100;
constexpr DWORD kIdleWaitMs = 10;  // the loop looks at done() at least this often

Win32Toolkit* hiddenOwner = nullptr;  // the toolkit whose hidden window exists (one per program)

// Sibling windows in the order the operator reads them, which is their tab order: row by row
// from the top, each row from the left. A row is the windows that begin above the bottom of its
// first one (the combo box beside the list view that begins a little higher).
void InReadingOrder(std::vector<HWND>& windows) {
  std::vector<RECT> rects(windows.size());
  for (std::size_t i = 0; i < windows.size(); ++i) ::GetWindowRect(windows[i], &rects[i]);
  // Rows first: by top (insertion sorts: a form has a few controls, and equals keep their order).
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    auto at = order.end();
    while (at != order.begin() && rects[*(at - 1)].top > rects[i].top) --at;
    order.insert(at, i);
  }
  std::vector<int> row(windows.size());
  LONG rowBottom = LONG_MIN;
  int rows = -1;
  for (std::size_t i : order) {
    if (rects[i].top >= rowBottom) {
      ++rows;
      rowBottom = rects[i].bottom;
    }
    row[i] = rows;
  }
  auto before = [&](std::size_t a, std::size_t b) {
    return row[a] != row[b] ? row[a] < row[b] : rects[a].left < rects[b].left;
  };
  std::vector<std::size_t> placed;
  for (std::size_t i : order) {
    auto at = placed.end();
    while (at != placed.begin() && before(i, *(at - 1))) --at;
    placed.insert(at, i);
  }
  std::vector<HWND> sorted;
  for (std::size_t i : placed) sorted.push_back(windows[i]);
  windows = sorted;
}

// https://learn.microsoft.com/windows/win32/learnwin32/dpi-and-device-independent-pixels: for a
// system DPI aware program the screen's logical pixels per inch are the system DPI.
int SystemDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

}  // namespace

Win32Toolkit::Win32Toolkit() : guiThread_(::GetCurrentThreadId()), dpi_(SystemDpi()) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);
  RegisterClasses();
  hiddenOwner = this;
  hidden_ = ::CreateWindowExA(0, "VeltraneHidden", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              ::GetModuleHandleA(nullptr), nullptr);
}

Win32Toolkit::~Win32Toolkit() {
  timers_.clear();
  while (!forms_.empty()) {
    peers_.erase(forms_.back());
    forms_.pop_back();
  }
  peers_.clear();
  for (auto& [key, font] : fonts_) ::DeleteObject(font);
  if (statusImages_ != nullptr) ImageList_Destroy(statusImages_);
  ::DestroyWindow(hidden_);
  if (sessionMutex_ != nullptr) ::CloseHandle(sessionMutex_);
  if (computerMutex_ != nullptr) ::CloseHandle(computerMutex_);
  hiddenOwner = nullptr;
  if (InstalledToolkit() == this) SetToolkit(nullptr);
}

void Win32Toolkit::RegisterClasses() {
  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  WNDCLASSA hidden{};
  hidden.lpfnWndProc = HiddenProc;
  hidden.hInstance = instance;
  hidden.lpszClassName = "VeltraneHidden";
  ::RegisterClassA(&hidden);
  WNDCLASSA container{};
  container.lpfnWndProc = NativeControl::ContainerProc;
  container.hInstance = instance;
  container.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
  container.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  container.lpszClassName = kFormClass;
  ::RegisterClassA(&container);
  container.lpszClassName = kPanelClass;
  ::RegisterClassA(&container);
  container.lpfnWndProc = ImagePeer::PictureProc;
  container.lpszClassName = kPictureClass;
  ::RegisterClassA(&container);
}

bool Win32Toolkit::IsGuiThread() const {
  return ::GetCurrentThreadId() == guiThread_;
}

// --- invokes and posts --------------------------------------------------------------------------

LRESULT CALLBACK Win32Toolkit::HiddenProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Win32Toolkit* self = hiddenOwner;
  if (self == nullptr) return ::DefWindowProcA(window, message, wParam, lParam);
  switch (message) {
    case kInvokeMessage: {
      auto* invocation = reinterpret_cast<Invocation*>(lParam);
      try {
        (*invocation->fn)();
      } catch (...) {
        invocation->error = std::current_exception();
      }
      return 0;
    }
    case kPostMessage:
      self->RunPosted();
      return 0;
    case kBringForwardMessage:
      self->BringMainWindowForward();
      return 0;
    case WM_TIMER:
      if (wParam == kDumpTimer) {
        if (self->changed_ || self->boxesOpen_ > 0) self->WriteStateDump();
      } else {
        self->FireTimer(wParam);
      }
      return 0;
    default:
      return ::DefWindowProcA(window, message, wParam, lParam);
  }
}

// https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-sendmessagea
// A message sent from another thread is handled only when the GUI thread retrieves messages,
// so it runs between pieces of GUI work, in the order sent, and the sender waits for it.
void Win32Toolkit::Invoke(const std::function<void()>& fn) {
  if (IsGuiThread()) {
    fn();
    return;
  }
  Invocation invocation{&fn, nullptr};
  ::SendMessageA(hidden_, kInvokeMessage, 0, reinterpret_cast<LPARAM>(&invocation));
  if (invocation.error) std::rethrow_exception(invocation.error);
}

void Win32Toolkit::Post(std::function<void()> fn) {
  {
    std::lock_guard lock(postMutex_);
    posted_.push_back(std::move(fn));
  }
  ::PostMessageA(hidden_, kPostMessage, 0, 0);
}

// One piece per message, so that posted work interleaves with invokes and input as queued.
void Win32Toolkit::RunPosted() {
  std::function<void()> work;
  {
    std::lock_guard lock(postMutex_);
    if (posted_.empty()) return;
    work = std::move(posted_.front());
    posted_.pop_front();
  }
  work();
}

// --- one copy per session -----------------------------------------------------------------------

// https://learn.microsoft.com/windows/win32/api/synchapi/nf-synchapi-createmutexa
// https://learn.microsoft.com/windows/win32/termserv/kernel-object-namespaces
// Two mutexes: the session's, taken first, tells a second copy in the same session, which hands
// on to the first; the computer's, taken next, tells a copy in another session (fast user
// switching, a remote desktop), which can reach no window of the first. A mutex of another user
// that this one may not open (ERROR_ACCESS_DENIED) is held all the same. The first copy names
// its hidden (message-only) window after the mutex, so that a second one finds it. Only the
// process in the foreground may hand the foreground on: the second copy, just started by the
// operator, allows the first before asking it.
Win32Toolkit::Claim Win32Toolkit::ClaimInstance(const std::string& name) {
  const std::string local = "Local\\" + name;
  HANDLE session = ::CreateMutexA(nullptr, FALSE, local.c_str());
  if (session == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    if (session != nullptr) ::CloseHandle(session);
    HWND first = ::FindWindowExA(HWND_MESSAGE, nullptr, "VeltraneHidden", local.c_str());
    if (first != nullptr) {
      DWORD process = 0;
      ::GetWindowThreadProcessId(first, &process);
      ::AllowSetForegroundWindow(process);
      DWORD_PTR ignored = 0;
      ::SendMessageTimeoutA(first, kBringForwardMessage, 0, 0, SMTO_ABORTIFHUNG,
                            kBringForwardWaitMs, &ignored);
    }
    return Claim::kForwarded;
  }
  HANDLE computer = ::CreateMutexA(nullptr, FALSE, ("Global\\" + name).c_str());
  if (computer == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    if (computer != nullptr) ::CloseHandle(computer);
    ::CloseHandle(session);
    return Claim::kOtherSession;
  }
  if (sessionMutex_ != nullptr) ::CloseHandle(sessionMutex_);
  if (computerMutex_ != nullptr) ::CloseHandle(computerMutex_);
  sessionMutex_ = session;
  computerMutex_ = computer;
  ::SetWindowTextA(hidden_, local.c_str());
  return Claim::kFirst;
}

void Win32Toolkit::BringMainWindowForward() {
  if (forms_.empty()) return;
  HWND window = WindowOf(forms_.front());
  if (window == nullptr) return;
  if (::IsIconic(window)) ::ShowWindow(window, SW_RESTORE);
  // A modal dialog open over the main window is what the operator must see.
  HWND popup = ::GetLastActivePopup(window);
  ::SetForegroundWindow(popup != nullptr ? popup : window);
}

// --- message boxes and modal forms --------------------------------------------------------------

int Win32Toolkit::MessageBox(Form* owner, const std::string& text, const std::string& caption,
                             unsigned flags) {
  HWND ownerWindow = nullptr;
  std::unique_lock<std::mutex> oneBox;
  if (!IsGuiThread()) oneBox = std::unique_lock(boxMutex_);
  {
    std::lock_guard lock(formMutex_);
    const Form* shown = modals_.empty() ? owner : modals_.back();
    if (auto found = formWindows_.find(shown); found != formWindows_.end()) {
      ownerWindow = found->second;
    }
  }
  // A box of the GUI thread can come while another box is open (the window's own box while a
  // run's waits, or a run's prompt arriving in the window's own box): it is owned by that box,
  // which it keeps disabled until answered, so the boxes are answered one at a time, the latest
  // first, and the main window stays disabled until the last one closes.
  if (boxesOpen_ > 0 && ownerWindow != nullptr) {
    if (HWND box = AnswerableBox()) ownerWindow = box;
  }
  NotePromptShown(text);
  // The state dump shows the box while it is open (written on each tick meanwhile).
  ++boxesOpen_;
  const int answer =
      ::MessageBoxA(ownerWindow, CodePageText(text).c_str(), CodePageText(caption).c_str(), flags);
  --boxesOpen_;
  MarkChanged();
  return answer;
}

namespace {

BOOL CALLBACK FindAnswerableBox(HWND window, LPARAM found) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  char kind[8] = {};
  ::GetClassNameA(window, kind, sizeof kind);
  if (process != ::GetCurrentProcessId() || ::lstrcmpA(kind, "#32770") != 0 ||
      !::IsWindowVisible(window) || !::IsWindowEnabled(window)) {
    return TRUE;
  }
  *reinterpret_cast<HWND*>(found) = window;  // NOLINT(performance-no-int-to-ptr)
  return FALSE;
}

}  // namespace

// The program's open box that is not disabled under another one.
HWND Win32Toolkit::AnswerableBox() const {
  HWND found = nullptr;
  ::EnumWindows(FindAnswerableBox, reinterpret_cast<LPARAM>(&found));
  return found;
}

void Win32Toolkit::EnableOtherForms(const Form& except, bool enable) {
  for (Form* form : forms_) {
    if (form == &except) continue;
    if (HWND window = WindowOf(form)) ::EnableWindow(window, enable);
  }
}

void Win32Toolkit::ShowModal(Form& form) {
  if (!IsGuiThread()) {
    std::fputs("veltrane: ShowModal called off the GUI thread\n", stderr);
    std::abort();
  }
  if (form.modalOpen) {
    // Already open (a run ended while the operator reads it): the one dialog comes forward, and
    // a single Close still ends it.
    ::SetForegroundWindow(WindowOf(&form));
    return;
  }
  if (WindowOf(&form) == nullptr) Realize(form);
  form.modalOpen = true;
  {
    std::lock_guard lock(formMutex_);
    modals_.push_back(&form);
  }
  EnableOtherForms(form, false);
  if (auto* window = dynamic_cast<FormWindow*>(peers_.at(&form).get())) window->ForgetFocus();
  peers_.at(&form)->Changed(form);
  ::SetForegroundWindow(WindowOf(&form));
  MarkChanged();
  RunUntil([&form] { return !form.modalOpen; });
  {
    std::lock_guard lock(formMutex_);
    std::erase(modals_, &form);
  }
  EnableOtherForms(form, true);
  if (auto found = peers_.find(&form); found != peers_.end()) found->second->Changed(form);
  if (!forms_.empty() && forms_.front() != &form) ::SetForegroundWindow(WindowOf(forms_.front()));
  MarkChanged();
}

void Win32Toolkit::CloseModal(Form& form) {
  form.modalOpen = false;
  ::PostMessageA(hidden_, WM_NULL, 0, 0);  // wakes the modal loop
}

// --- timers -------------------------------------------------------------------------------------

void Win32Toolkit::RegisterTimer(Timer* timer) {
  for (const auto& [id, peer] : timers_) {
    if (&peer->Model() == timer) return;
  }
  const UINT_PTR id = nextTimerId_++;
  timers_.emplace(id, std::make_unique<TimerPeer>(*timer, hidden_, id));
}

void Win32Toolkit::UnregisterTimer(Timer* timer) {
  std::erase_if(timers_, [timer](const auto& slot) { return &slot.second->Model() == timer; });
}

void Win32Toolkit::FireTimer(UINT_PTR id) {
  if (auto found = timers_.find(id); found != timers_.end()) found->second->Fire();
}

// --- the loop -----------------------------------------------------------------------------------

// Dispatches what is queued; false when done() became true on the way.
bool Win32Toolkit::PumpMessages(const std::function<bool()>& done) {
  MSG message;
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    HWND root = message.hwnd != nullptr ? ::GetAncestor(message.hwnd, GA_ROOT) : nullptr;
    const bool ours = root != nullptr && NativeControl::Of(root) != nullptr;
    if (!ours || !::IsDialogMessageA(root, &message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageA(&message);
    }
    if (done()) return false;
  }
  return true;
}

void Win32Toolkit::RunUntil(const std::function<bool()>& done) {
  while (!done()) {
    if (!PumpMessages(done)) return;
    if (done()) return;
    ::MsgWaitForMultipleObjectsEx(0, nullptr, kIdleWaitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

// --- forms --------------------------------------------------------------------------------------

HWND Win32Toolkit::WindowOf(const Control* control) const {
  if (control == nullptr) return nullptr;
  if (control->Parent() == nullptr) {
    std::lock_guard lock(formMutex_);
    auto found = formWindows_.find(static_cast<const Form*>(control));
    if (found != formWindows_.end()) return found->second;
  }
  if (!IsGuiThread()) return nullptr;
  auto found = peers_.find(control);
  return found != peers_.end() ? found->second->Window() : nullptr;
}

void Win32Toolkit::Realize(Form& form) {
  if (peers_.contains(&form)) return;
  HWND owner = forms_.empty() ? nullptr : WindowOf(forms_.front());
  auto window = std::make_unique<FormWindow>(*this, form, owner);
  FormWindow* created = window.get();
  peers_.emplace(&form, std::move(window));
  created->Create();
  form.AttachPeer(created);
  forms_.push_back(&form);
  {
    std::lock_guard lock(formMutex_);
    formWindows_[&form] = created->Window();
  }
  RealizeChildren(form);
  MarkChanged();
}

// Each child window made goes under its siblings made before (their tab order). A panel is a
// backdrop that the form's combo box and list view lie over: once its siblings exist it goes to
// the bottom, or it would take the clicks meant for them.
void Win32Toolkit::RealizeChildren(Control& parent) {
  std::vector<HWND> backdrops;
  std::vector<HWND> others;
  for (Control* child : parent.Children()) {
    std::unique_ptr<NativeControl> peer = MakePeer(*this, *child);
    if (!peer) continue;
    NativeControl* created = peer.get();
    peers_.emplace(child, std::move(peer));
    created->Create();
    child->AttachPeer(created);
    if (dynamic_cast<ui::Panel*>(child) != nullptr) {
      backdrops.push_back(created->Window());
    } else {
      others.push_back(created->Window());
    }
    RealizeChildren(*child);
  }
  InReadingOrder(others);
  HWND after = HWND_TOP;
  for (HWND window : others) {
    ::SetWindowPos(window, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    after = window;
  }
  for (HWND backdrop : backdrops) {
    ::SetWindowPos(backdrop, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
}

// The main window comes up active, the focus on its first control (the combo box).
void Win32Toolkit::Show(Form& form) {
  const bool first = shown_.insert(&form).second;
  auto found = peers_.find(&form);
  if (found == peers_.end()) return;
  found->second->Changed(form);
  HWND window = found->second->Window();
  if (first && !forms_.empty() && forms_.front() == &form && ::IsWindowVisible(window)) {
    ::SetForegroundWindow(window);
    ::SetActiveWindow(window);
  }
}

bool Win32Toolkit::Shown(const Form& form) const {
  return shown_.contains(&form);
}

void Win32Toolkit::UnrealizeTree(Control& control) {
  for (Control* child : control.Children()) UnrealizeTree(*child);
  if (control.GetPeer() != nullptr && dynamic_cast<TimerPeer*>(control.GetPeer()) == nullptr) {
    control.AttachPeer(nullptr);
  }
  peers_.erase(&control);
}

void Win32Toolkit::Unrealize(Form& form) {
  {
    std::lock_guard lock(formMutex_);
    formWindows_.erase(&form);
    std::erase(modals_, &form);
  }
  UnrealizeTree(form);
  std::erase(forms_, &form);
  shown_.erase(&form);
  closeRequested_.erase(&form);
}

void Win32Toolkit::SetDialogButtons(Form& form, const Button* defaultButton,
                                    const Button* cancelButton) {
  if (auto found = peers_.find(&form); found != peers_.end()) {
    if (auto* window = dynamic_cast<FormWindow*>(found->second.get())) {
      window->SetDialogButtons(defaultButton, cancelButton);
    }
  }
}

bool Win32Toolkit::CloseRequested(const Form& form) const {
  return closeRequested_.contains(&form);
}

void Win32Toolkit::RequestClose(Form& form) {
  if (form.modalOpen) {
    CloseModal(form);
    return;
  }
  closeRequested_.insert(&form);
  ::PostMessageA(hidden_, WM_NULL, 0, 0);
}

// --- shared resources ---------------------------------------------------------------------------

// The font's height is its character height in pixels at 96 DPI (a negative LOGFONT height).
HFONT Win32Toolkit::FontFor(const Font& font) {
  const auto key = std::make_pair(font.name, font.height);
  if (auto found = fonts_.find(key); found != fonts_.end()) return found->second;
  HFONT created = ::CreateFontA(-Scale(font.height), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, font.name.c_str());
  fonts_.emplace(key, created);
  return created;
}

int Win32Toolkit::TextWidth(const Font& font, const std::string& text) {
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, FontFor(font));
  SIZE extent{};
  const std::string shown = CodePageText(text);  // as the window shows it
  ::GetTextExtentPoint32A(dc, shown.c_str(), static_cast<int>(shown.size()), &extent);
  ::SelectObject(dc, old);
  ::ReleaseDC(nullptr, dc);
  return (extent.cx * 96 + dpi_ - 1) / dpi_;
}

HIMAGELIST Win32Toolkit::StatusImages() {
  if (statusImages_ != nullptr) return statusImages_;
  // The icon resources hold several sizes: LoadImage takes the one nearest the scaled size.
  const int size = Scale(ImageList::kSize);
  statusImages_ = ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, ImageList::kImageCount, 0);
  for (int i = 0; i < ImageList::kImageCount; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "STATUS%d", i);
    HICON icon = static_cast<HICON>(
        ::LoadImageA(::GetModuleHandleA(nullptr), name, IMAGE_ICON, size, size, 0));
    ImageList_AddIcon(statusImages_, icon);  // a missing icon leaves its slot out: nothing drawn
    if (icon != nullptr) ::DestroyIcon(icon);
  }
  return statusImages_;
}

void Win32Toolkit::EnableStateDump(std::string path) {
  dumpPath_ = std::move(path);
  if (dumpPath_.empty()) {
    ::KillTimer(hidden_, kDumpTimer);
  } else {
    ::SetTimer(hidden_, kDumpTimer, kDumpIntervalMs, nullptr);
  }
}

}  // namespace ui::win32
