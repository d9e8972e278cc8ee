// A push button.
#include "ui/win32/ButtonPeer.h"

#include <string_view>

namespace ui::win32 {

namespace {

// The underlined letter of each caption: its first, unless a button of the same window has it
// already ("Start all" beside "Start": its second word's). "Testing..." is a disabled Start.
struct Mnemonic {
  std::string_view caption;
  std::size_t letter;
};
constexpr Mnemonic kMnemonics[] = {
    {"Start", 0},
    {"Start all", 6},
    {"Result", 0},
    {"Close", 0},
};

}  // namespace

void ButtonPeer::Create() {
  CreateChild("BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0);
}

std::string ButtonPeer::WindowCaption() const {
  std::string text;
  for (const char c : control_.Caption()) {
    text += c;
    if (c == '&') text += '&';  // a caption's own ampersand is shown as one
  }
  for (const Mnemonic& m : kMnemonics) {
    if (m.caption == text) return text.insert(m.letter, "&");
  }
  return text;
}

void ButtonPeer::OnCommand(int code) {
  if (code == BN_CLICKED && !syncing_) static_cast<ui::Button&>(control_).Click();
}

}  // namespace ui::win32
