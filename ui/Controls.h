// The window-toolkit seam: small control objects that hold their state in memory.
// A backend may attach a Peer to mirror a control into a native widget; the headless backend
// attaches none. Controls belong to the GUI thread: touch them only there (see Toolkit::Invoke).
// A child registers itself with its parent; either may be destroyed first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace ui {

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;   // 0 = sized by its content (labels)
  int height = 0;  // 0 = sized by its content
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct Font {
  std::string name = "MS Sans Serif";
  int height = 13;  // pixels
};

class Control;

// What a native backend implements to mirror a control. Called on the GUI thread after the
// control's state changed; the backend reads the new state from the control.
class Peer {
 public:
  virtual ~Peer() = default;
  virtual void Changed(Control& control) = 0;
};

class Control {
 public:
  Control(Control* parent, std::string name, Rect bounds);
  // Leaves the parent's Children() and orphans its own children (members die before their form).
  virtual ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  const std::string& Name() const { return name_; }
  Control* Parent() const { return parent_; }
  const std::vector<Control*>& Children() const { return children_; }
  const Rect& Bounds() const { return bounds_; }
  // Moves or resizes the control (in 96-DPI pixels, as it was laid out); a form keeps its place
  // on the screen and takes the new client size.
  void SetBounds(const Rect& bounds);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  const Font& GetFont() const { return font_; }
  void SetFont(Font font);

  // The peer is told of every later change; it must outlive the control or be detached (null).
  void AttachPeer(Peer* peer) { peer_ = peer; }
  Peer* GetPeer() const { return peer_; }

 protected:
  void NotifyChanged();

 private:
  Control* parent_;
  std::string name_;
  Rect bounds_;
  std::vector<Control*> children_;
  bool enabled_ = true;
  bool visible_ = true;
  std::string caption_;
  Font font_;
  Peer* peer_ = nullptr;
};

// A top-level window. Border style and system items are recorded for the native backend.
class Form : public Control {
 public:
  Form(std::string name, int clientWidth, int clientHeight);
  int ClientWidth() const { return Bounds().width; }
  int ClientHeight() const { return Bounds().height; }
  // Window messages the form handles itself (WM_DEVICECHANGE, the session's end); returns the
  // message result. The default handling ignores the message and returns 0, except the query
  // whether the session may end, which it lets end (1), as the system's default window does.
  virtual long Dispatch(unsigned message, unsigned long wParam, long lParam);
  // Windows asks whether the device behind an open handle that has a handle notification may be
  // removed (DBT_DEVICEQUERYREMOVE): the handler closes the handle and says yes (true), or says
  // no (false: the handle could not be closed) and the removal is refused.
  std::function<bool(std::intptr_t handle)> onHandleQueryRemove;
  // The removal of the device behind a watched handle has ended: refused
  // (DBT_DEVICEQUERYREMOVEFAILED: what the query closed may be opened again), or gone ahead
  // (pending or complete: the handle's notification may end), after a query or without one (the
  // device pulled out: the handle is still open). `handle` is the handle as it was watched (it
  // may have been closed since), `notification` its notification.
  std::function<void(bool refused, std::intptr_t handle, std::intptr_t notification)>
      onHandleRemoveEnded;
  bool fixedSingleBorder = true;
  bool systemMenu = true;
  bool minimizeBox = true;
  bool maximizeBox = false;
  bool modalOpen = false;  // set by the toolkit while ShowModal runs
};

// The form as the platform knows a window (device notifications are addressed to it).
inline platform::Handle WindowHandle(const Form& form) {
  return reinterpret_cast<platform::Handle>(&form);
}

class Panel : public Control {
 public:
  using Control::Control;
};

class Label : public Control {
 public:
  using Control::Control;
};

class Button : public Control {
 public:
  using Control::Control;
  std::function<void()> onClick;
  // Performs a click as the operator would (BM_CLICK): onClick runs unless the button is disabled.
  void Click();
};

class ComboBox : public Control {
 public:
  using Control::Control;
  std::function<void()> onChange;

  void Clear();
  void AddItem(const std::string& text);
  const std::vector<std::string>& Items() const { return items_; }
  int ItemIndex() const { return itemIndex_; }
  // Selects an item programmatically; no onChange, as with the native control. Text becomes the
  // item's text. -1 or an index past the items removes the selection and empties Text.
  void SetItemIndex(int index);
  // The edit field's text: the selected item's text, or what the operator typed.
  const std::string& Text() const { return text_; }

  // Operator actions: pick an item from the drop-down, or type text into the edit field.
  // Both fire onChange like the native control does, also when the pick repeats the selection.
  // Typed text selects no item (index -1), even when it equals an item's text, until a pick.
  // A pick of an index that is not in the list is ignored (the operator cannot make it).
  void PickItem(int index);
  void TypeText(const std::string& text);

 private:
  std::vector<std::string> items_;
  int itemIndex_ = -1;
  std::string text_;
};

// The 16 by 16 image list of the step icons: image 0 empty, 1 check, 2 cross, 3 warning.
class ImageList {
 public:
  static constexpr int kImageCount = 4;
  static constexpr int kSize = 16;
  int Count() const { return kImageCount; }
};

class ListView : public Control {
 public:
  using Control::Control;
  struct Item {
    std::string caption;
    int imageIndex = 0;
  };
  void Clear();
  void AddItem(const std::string& caption, int imageIndex);
  int Count() const { return static_cast<int>(items_.size()); }
  const std::vector<Item>& Items() const { return items_; }
  // Out-of-range indexes are ignored: the list may have been refilled under a running step.
  void SetImageIndex(int index, int imageIndex);
  void AddColumn(int width);
  const std::vector<int>& ColumnWidths() const { return columnWidths_; }
  int ClientWidth() const { return Bounds().width - 4; }  // inside the 2-pixel sunken edge
  bool showColumnHeaders = false;
  bool flatScrollBars = true;
  ImageList* smallImages = nullptr;

 private:
  std::vector<Item> items_;
  std::vector<int> columnWidths_;
};

// A model picture; the image itself is chosen by the native backend from the control's name.
class Image : public Control {
 public:
  using Control::Control;
  bool transparent = true;
};

class Memo : public Control {
 public:
  using Control::Control;
  void Clear();
  void Append(const std::string& line);
  const std::vector<std::string>& Lines() const { return lines_; }
  bool readOnly = true;
  bool verticalScrollBar = true;

 private:
  std::vector<std::string> lines_;
};

// A timer fires onTimer on the GUI thread while enabled (Enabled(); enabled when created, like the
// framework's timer). It registers with the installed toolkit when created and unregisters when
// destroyed, so a toolkit must be installed (SetToolkit) before any form holding a timer is made.
class Timer : public Control {
 public:
  Timer(Control* parent, std::string name, unsigned intervalMs);
  ~Timer() override;
  unsigned IntervalMs() const { return intervalMs_; }
  std::function<void()> onTimer;

 private:
  unsigned intervalMs_;
};

}  // namespace ui
