// The toolkit backend: the GUI thread's loop, synchronous invokes from other threads, message
// boxes and modal dialogs. One backend per program (headless or win32), installed with SetToolkit.
#pragma once

#include <functional>
#include <string>

#include "ui/Controls.h"

namespace ui {

// MessageBoxA flags and answers the system uses (same values as winuser.h).
inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kMbOkCancel = 0x1;
inline constexpr unsigned kMbRetryCancel = 0x5;
inline constexpr unsigned kMbCancelTryContinue = 0x6;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconWarning = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr unsigned kMbTypeMask = 0xF;
inline constexpr unsigned kMbIconMask = 0xF0;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdRetry = 4;
inline constexpr int kIdTryAgain = 10;
inline constexpr int kIdContinue = 11;

// WM_DEVICECHANGE and the two event codes the console handles.
inline constexpr unsigned kWmDeviceChange = 0x0219;
inline constexpr unsigned long kDbtDeviceArrival = 0x8000;
inline constexpr unsigned long kDbtDeviceRemoveComplete = 0x8004;

// WM_QUERYENDSESSION and WM_ENDSESSION: the session (shutdown, restart, logoff) asks whether it
// may end, then says whether it ends (wParam TRUE) or goes on (FALSE). The query's answer is
// TRUE (1) to let it end, FALSE (0) to ask the operator first.
inline constexpr unsigned kWmQueryEndSession = 0x0011;
inline constexpr unsigned kWmEndSession = 0x0016;

class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // True on the GUI thread (the thread that created the toolkit).
  virtual bool IsGuiThread() const = 0;
  // Runs fn on the GUI thread and returns when it has run. On the GUI thread it runs at once.
  // Calls from one thread take effect in call order. Blocks the caller until done; an exception
  // thrown by fn is rethrown to the caller. The GUI thread serves invokes only inside its loop
  // (RunUntil), so it must never block waiting for a thread that may invoke: wait with
  // RunUntil(threadFinished) instead of a bare join.
  virtual void Invoke(const std::function<void()>& fn) = 0;
  // Queues fn to run on the GUI thread later (window messages), after the work queued before it;
  // never blocks. Callable from any thread.
  virtual void Post(std::function<void()> fn) = 0;
  // MessageBoxA(owner, text, caption, flags): blocks the calling thread until answered and
  // returns the button id. Callable from any thread; the GUI thread keeps running meanwhile.
  virtual int MessageBox(Form* owner, const std::string& text, const std::string& caption,
                         unsigned flags) = 0;
  // Shows a form modally; returns when it is closed. GUI thread only.
  virtual void ShowModal(Form& form) = 0;
  // Closes a form shown modally (its ShowModal returns). GUI thread only.
  virtual void CloseModal(Form& form) = 0;
  // The window loop registers timers so that it can drive them (Timer does this itself).
  // Unregistering a timer that is not registered does nothing.
  virtual void RegisterTimer(Timer* timer) = 0;
  virtual void UnregisterTimer(Timer* timer) = 0;
  // Runs the GUI loop (posted work, invokes, timers) until done() is true; returns at once when it
  // is true on entry. done() is checked on the GUI thread between pieces of work. GUI thread only.
  virtual void RunUntil(const std::function<bool()>& done) = 0;
  // The width in 96-DPI pixels that the text takes in the font, rounded up. A toolkit without a
  // screen counts an average character of the window's font: 6 pixels.
  virtual int TextWidth(const Font& font, const std::string& text) {
    (void)font;
    return 6 * static_cast<int>(text.size());
  }

  // Called with a message box's text on the prompting thread when the box is shown, before it is
  // answered: a simulated bench lets its operator act there. Set before any box is shown.
  void SetPromptHook(std::function<void(const std::string& text)> hook) {
    promptHook_ = std::move(hook);
  }

 protected:
  void NotePromptShown(const std::string& text) const {
    if (promptHook_) promptHook_(text);
  }

 private:
  std::function<void(const std::string& text)> promptHook_;
};

// Whose message box the calling thread shows: the console names the run (its combo item) around
// a run's box; empty for a box of no run. A headless operator answers each run's boxes from a
// list of its own; a real toolkit ignores it. Per thread.
const std::string& BoxOrigin();
class ScopedBoxOrigin {
 public:
  explicit ScopedBoxOrigin(std::string origin);
  ~ScopedBoxOrigin();
  ScopedBoxOrigin(const ScopedBoxOrigin&) = delete;
  ScopedBoxOrigin& operator=(const ScopedBoxOrigin&) = delete;

 private:
  std::string saved_;
};

// The installed backend; set by main() or a test fixture before any window is created, and left
// installed until the windows are gone. TheToolkit() without one prints why and aborts.
Toolkit& TheToolkit();
void SetToolkit(Toolkit* toolkit);  // null uninstalls
Toolkit* InstalledToolkit();        // null when none is installed
// True on the installed toolkit's GUI thread; false anywhere when none is installed.
bool IsGuiThread();

}  // namespace ui
