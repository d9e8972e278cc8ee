// The native window-toolkit backend: mirrors forms into Win32 windows (one peer per control),
// runs the GUI thread's message loop, marshals invokes and posts through a hidden window, drives
// timers with SetTimer and shows MessageBoxA and modal forms. Owns every peer and window it made.
#pragma once

#include <windows.h>
// windows.h first: commctrl.h relies on its types.
#include <commctrl.h>

#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ui/Toolkit.h"

namespace ui::win32 {

class NativeControl;
class TimerPeer;

class Win32Toolkit : public Toolkit {
 public:
  // The calling thread becomes the GUI thread. Registers the window classes and creates the
  // hidden message window.
  Win32Toolkit();
  // Destroys the remaining windows; uninstalls itself when installed.
  ~Win32Toolkit() override;
  Win32Toolkit(const Win32Toolkit&) = delete;
  Win32Toolkit& operator=(const Win32Toolkit&) = delete;

  bool IsGuiThread() const override;
  // From another thread: SendMessage to the hidden window, so calls run in order and the caller
  // waits; what fn throws is rethrown to the caller.
  void Invoke(const std::function<void()>& fn) override;
  void Post(std::function<void()> fn) override;
  // MessageBoxA on the calling thread, owned by the owner form's window, or by the modal form
  // open over it (a box owned by the main window could hide behind that form), or by the box
  // open on the GUI thread, over which it comes to be answered first. Boxes of other
  // threads than the GUI thread are shown one at a time: each disables its owner while it is
  // open and enables it when it closes, so a second box open at once would leave the main
  // window enabled under it.
  int MessageBox(Form* owner, const std::string& text, const std::string& caption,
                 unsigned flags) override;
  // A form already open modally is brought forward instead, and the call returns at once.
  void ShowModal(Form& form) override;
  void CloseModal(Form& form) override;
  void RegisterTimer(Timer* timer) override;
  void UnregisterTimer(Timer* timer) override;
  void RunUntil(const std::function<bool()>& done) override;

  // The one copy of the program on the computer, whichever session it runs in (the operator's,
  // another user's, a remote desktop's): kFirst when this is it (it then holds the mutexes
  // "Local\\<name>" and "Global\\<name>" until the toolkit is destroyed). kForwarded when a copy
  // runs in this session: its main window has been brought forward (restored if minimised).
  // kOtherSession when a copy runs in another session, out of this one's reach. This one should
  // end unless kFirst. GUI thread, before the first form is realized.
  enum class Claim { kFirst, kForwarded, kOtherSession };
  Claim ClaimInstance(const std::string& name);

  // --- Windows of forms (GUI thread unless said otherwise) -----------------------------------
  // Creates the form's window and one native control per child, hidden. The first form realized
  // is the main window and owns the later ones.
  void Realize(Form& form);
  // Shows a realized form (while its Visible() is true).
  void Show(Form& form);
  // Destroys the form's windows and detaches its peers; call before the form is destroyed.
  void Unrealize(Form& form);
  // The form's default button (Enter, the default border) and cancel button (Esc), as a dialog
  // box has them; either may be null. After Realize.
  void SetDialogButtons(Form& form, const Button* defaultButton, const Button* cancelButton);
  // True once the operator has asked to close the form (system menu, close box, Alt+F4).
  bool CloseRequested(const Form& form) const;
  void RequestClose(Form& form);
  // The window of a realized control, or null. Any thread for forms; GUI thread otherwise.
  HWND WindowOf(const Control* control) const;
  bool Shown(const Form& form) const;

  // --- Shared resources of the peers --------------------------------------------------------
  // The program is system DPI aware: forms are laid out in pixels at 96 DPI, and every place,
  // size, font, column and icon is scaled by the system DPI read when the toolkit was made (the
  // one the whole session has; a move to a monitor of another scale is left to the system).
  int Dpi() const { return dpi_; }
  int Scale(int pixels) const { return ::MulDiv(pixels, dpi_, 96); }
  HFONT FontFor(const Font& font);
  int TextWidth(const Font& font, const std::string& text) override;
  // The 16x16 image list of the four step icons (ICON resources STATUS0..STATUS3).
  HIMAGELIST StatusImages();
  // Called after a change: the state dump (if on) is rewritten soon. Any thread.
  void MarkChanged() { changed_ = true; }
  // Test hook: writes every realized window's native texts and places to the file whenever they
  // change (checked every 100 ms), replacing it whole, and the program's open message boxes with
  // their buttons ("Box", "Box.Retry", ...). Empty path: off.
  void EnableStateDump(std::string path);
  // Writes the state dump now (when enabled).
  void WriteStateDump();

  static constexpr const char* kFormClass = "VeltraneForm";
  static constexpr const char* kPanelClass = "VeltranePanel";
  static constexpr const char* kPictureClass = "VeltranePicture";

 private:
  struct Invocation {
    const std::function<void()>* fn;
    std::exception_ptr error;
  };
  static LRESULT CALLBACK HiddenProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void RegisterClasses();
  void RunPosted();
  void FireTimer(UINT_PTR id);
  void RealizeChildren(Control& parent);
  void UnrealizeTree(Control& control);
  bool PumpMessages(const std::function<bool()>& done);
  void EnableOtherForms(const Form& except, bool enable);

  void BringMainWindowForward();
  HWND AnswerableBox() const;

  const DWORD guiThread_;
  const int dpi_;
  HWND hidden_ = nullptr;
  HANDLE sessionMutex_ = nullptr;                                   // "Local\\<name>"
  HANDLE computerMutex_ = nullptr;                                  // "Global\\<name>"
  std::map<const Control*, std::unique_ptr<NativeControl>> peers_;  // GUI thread
  std::vector<Form*> forms_;                                        // in order of realizing
  std::set<const Form*> closeRequested_;
  std::set<const Form*> shown_;
  mutable std::mutex formMutex_;  // guards formWindows_ and modals_: read by MessageBox
  std::map<const Form*, HWND> formWindows_;
  std::vector<const Form*> modals_;  // the forms shown modally, innermost last
  std::mutex boxMutex_;              // one box at a time from threads other than the GUI thread
  std::atomic<int> boxesOpen_{0};

  std::mutex postMutex_;
  std::deque<std::function<void()>> posted_;

  std::map<UINT_PTR, std::unique_ptr<TimerPeer>> timers_;
  UINT_PTR nextTimerId_ = 1;

  std::map<std::pair<std::string, int>, HFONT> fonts_;
  HIMAGELIST statusImages_ = nullptr;
  std::string dumpPath_;
  std::atomic<bool> changed_{true};
};

}  // namespace ui::win32
