// The state dump: what the realized windows and open message boxes show, read back from the
// windows themselves, one control per line
// ("Form2.Label2<TAB>text=Success<TAB>visible=1<TAB>enabled=1<TAB>screen=..."), for checks that
// drive the GUI from outside (the Xvfb run of veltrane-sim).
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "ui/win32/ButtonPeer.h"
#include "ui/win32/ComboBoxPeer.h"
#include "ui/win32/ListViewPeer.h"
#include "ui/win32/NativeControl.h"
#include "ui/win32/Win32Toolkit.h"

namespace ui::win32 {

namespace {

// One line per control: tabs and line breaks of a text must not split it.
std::string Flat(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

// A button's text as the operator reads it: the mnemonic's marks ("&Start") left out.
std::string Shown(const std::string& text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    shown += text[i];
  }
  return shown;
}

std::string TextOf(HWND window) {
  char text[1024] = {};
  const int copied = ::GetWindowTextA(window, text, sizeof text);
  return std::string(text, static_cast<std::size_t>(copied > 0 ? copied : 0));
}

std::string Describe(const std::string& path, HWND window, const std::string& text) {
  RECT screen{};
  ::GetWindowRect(window, &screen);
  char place[96];
  std::snprintf(place, sizeof place, "\tscreen=%ld,%ld,%ld,%ld", screen.left, screen.top,
                screen.right, screen.bottom);
  return path + "\ttext=" + Flat(text) + "\tvisible=" + (::IsWindowVisible(window) ? "1" : "0") +
         "\tenabled=" + (::IsWindowEnabled(window) ? "1" : "0") + place;
}

void DescribeItems(std::string& out, const std::string& path, const ListViewPeer& list) {
  for (int i = 0; i < list.ShownCount(); ++i) {
    out += path + ".item[" + std::to_string(i) + "]\timage=" + std::to_string(list.ShownImage(i)) +
           "\ttext=" + Flat(list.ShownText(i)) + "\n";
  }
}

// How many of the texts the closed box would cut off: wider, in the box's font, than its edit
// field.
int CutOff(HWND combo, const std::vector<std::string>& texts) {
  COMBOBOXINFO info{};
  info.cbSize = sizeof info;
  if (!::GetComboBoxInfo(combo, &info)) return -1;
  const LONG room = info.rcItem.right - info.rcItem.left;
  HDC dc = ::GetDC(combo);
  HGDIOBJ old =
      ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(combo, WM_GETFONT, 0, 0)));
  int cut = 0;
  for (const std::string& text : texts) {
    SIZE extent{};
    ::GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    if (extent.cx > room) ++cut;
  }
  ::SelectObject(dc, old);
  ::ReleaseDC(combo, dc);
  return cut;
}

// A combo box's items as its list holds them, whether the list is dropped down, and how many
// items the closed box cuts off.
void DescribeComboItems(std::string& out, const std::string& path, HWND combo) {
  const LRESULT count = ::SendMessageA(combo, CB_GETCOUNT, 0, 0);
  const bool dropped = ::SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0) != FALSE;
  std::vector<std::string> texts;
  std::string items;
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = ::SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    std::string text(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, '\0');
    const LRESULT copied = ::SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                          reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied > 0 && copied < static_cast<LRESULT>(text.size())
                    ? static_cast<std::size_t>(copied)
                    : 0);
    items += path + ".item[" + std::to_string(i) + "]\ttext=" + Flat(text) + "\n";
    texts.push_back(std::move(text));
  }
  out += path + ".list\tdropped=" + (dropped ? "1" : "0") +
         "\tcut=" + std::to_string(CutOff(combo, texts)) + "\n" + items;
}

void DescribeTree(std::string& out, const std::string& formName, const Control& control) {
  for (const Control* child : control.Children()) {
    const NativeControl* peer = dynamic_cast<const NativeControl*>(child->GetPeer());
    if (peer == nullptr) continue;
    const std::string path = formName + "." + child->Name();
    const bool button = dynamic_cast<const ButtonPeer*>(peer) != nullptr;
    out += Describe(path, peer->Window(), button ? Shown(peer->WindowText()) : peer->WindowText()) +
           "\n";
    if (const auto* list = dynamic_cast<const ListViewPeer*>(peer)) DescribeItems(out, path, *list);
    if (dynamic_cast<const ComboBoxPeer*>(peer) != nullptr) {
      DescribeComboItems(out, path, peer->Window());
    }
    DescribeTree(out, formName, *child);
  }
}

// A message box's button by its answer.
const char* ButtonName(int id) {
  switch (id) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDABORT:
      return "Abort";
    case IDRETRY:
      return "Retry";
    case IDIGNORE:
      return "Ignore";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    case IDTRYAGAIN:
      return "TryAgain";
    case IDCONTINUE:
      return "Continue";
    default:
      return nullptr;
  }
}

struct BoxScan {
  std::string* out;
  int boxes = 0;
  std::string path;  // of the box being described
};

BOOL CALLBACK DescribeBoxPart(HWND child, LPARAM data) {
  auto& scan = *reinterpret_cast<BoxScan*>(data);  // NOLINT(performance-no-int-to-ptr)
  char kind[32] = {};
  ::GetClassNameA(child, kind, sizeof kind);
  const std::string text = TextOf(child);
  std::string name;
  if (::lstrcmpiA(kind, "Button") == 0) {
    const char* button = ButtonName(::GetDlgCtrlID(child));
    if (button == nullptr) return TRUE;
    name = button;
  } else if (::lstrcmpiA(kind, "Static") == 0 && !text.empty()) {
    name = "Text";  // the message; the icon is a static without text
  } else {
    return TRUE;
  }
  *scan.out += Describe(scan.path + "." + name, child, text) + "\n";
  return TRUE;
}

// The program's visible message boxes (dialogs of the system's class), whatever thread shows
// them: "Box" for the first, "Box2" for a second.
BOOL CALLBACK DescribeBox(HWND window, LPARAM data) {
  auto& scan = *reinterpret_cast<BoxScan*>(data);  // NOLINT(performance-no-int-to-ptr)
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  char kind[16] = {};
  ::GetClassNameA(window, kind, sizeof kind);
  if (process != ::GetCurrentProcessId() || std::string(kind) != "#32770" ||
      !::IsWindowVisible(window)) {
    return TRUE;
  }
  ++scan.boxes;
  scan.path = scan.boxes == 1 ? "Box" : "Box" + std::to_string(scan.boxes);
  *scan.out += Describe(scan.path, window, TextOf(window)) + "\n";
  ::EnumChildWindows(window, DescribeBoxPart, reinterpret_cast<LPARAM>(&scan));
  return TRUE;
}

void DescribeMessageBoxes(std::string& out) {
  BoxScan scan{&out, 0, {}};
  ::EnumWindows(DescribeBox, reinterpret_cast<LPARAM>(&scan));
}

}  // namespace

void Win32Toolkit::WriteStateDump() {
  changed_ = false;
  if (dumpPath_.empty()) return;
  std::string out;
  for (const Form* form : forms_) {
    const auto* peer = dynamic_cast<const NativeControl*>(form->GetPeer());
    if (peer == nullptr) continue;
    out += Describe(form->Name(), peer->Window(), peer->WindowText()) +
           "\tmodal=" + (form->modalOpen ? "1" : "0") + "\n";
    DescribeTree(out, form->Name(), *form);
  }
  DescribeMessageBoxes(out);
  const std::string temporary = dumpPath_ + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return;
  const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  if (std::fclose(file) == 0 && written) {
    ::MoveFileExA(temporary.c_str(), dumpPath_.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
}

}  // namespace ui::win32
