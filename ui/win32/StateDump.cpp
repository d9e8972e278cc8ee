// The state dump: what the realized windows show, read back from the windows themselves, one
// control per line ("Form2.Label2<TAB>text=Success<TAB>visible=1<TAB>enabled=1<TAB>screen=..."),
// for checks that drive the GUI from outside (the Xvfb run of veltrane-sim).
#include <cstdio>
#include <string>

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

std::string Describe(const std::string& path, const NativeControl& peer) {
  HWND window = peer.Window();
  RECT screen{};
  ::GetWindowRect(window, &screen);
  char place[96];
  std::snprintf(place, sizeof place, "\tscreen=%ld,%ld,%ld,%ld", screen.left, screen.top,
                screen.right, screen.bottom);
  return path + "\ttext=" + Flat(peer.WindowText()) +
         "\tvisible=" + (::IsWindowVisible(window) ? "1" : "0") +
         "\tenabled=" + (::IsWindowEnabled(window) ? "1" : "0") + place;
}

void DescribeItems(std::string& out, const std::string& path, const ListViewPeer& list) {
  for (int i = 0; i < list.ShownCount(); ++i) {
    out += path + ".item[" + std::to_string(i) + "]\timage=" + std::to_string(list.ShownImage(i)) +
           "\ttext=" + Flat(list.ShownText(i)) + "\n";
  }
}

void DescribeTree(std::string& out, const std::string& formName, const Control& control) {
  for (const Control* child : control.Children()) {
    const NativeControl* peer = dynamic_cast<const NativeControl*>(child->GetPeer());
    if (peer == nullptr) continue;
    const std::string path = formName + "." + child->Name();
    out += Describe(path, *peer) + "\n";
    if (const auto* list = dynamic_cast<const ListViewPeer*>(peer)) DescribeItems(out, path, *list);
    DescribeTree(out, formName, *child);
  }
}

}  // namespace

void Win32Toolkit::WriteStateDump() {
  changed_ = false;
  if (dumpPath_.empty()) return;
  std::string out;
  for (const Form* form : forms_) {
    const auto* peer = dynamic_cast<const NativeControl*>(form->GetPeer());
    if (peer == nullptr) continue;
    out += Describe(form->Name(), *peer) + "\tmodal=" + (form->modalOpen ? "1" : "0") + "\n";
    DescribeTree(out, form->Name(), *form);
  }
  const std::string temporary = dumpPath_ + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return;
  const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  if (std::fclose(file) == 0 && written) {
    ::MoveFileExA(temporary.c_str(), dumpPath_.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
}

}  // namespace ui::win32
