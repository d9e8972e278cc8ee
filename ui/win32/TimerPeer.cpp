// A ui::Timer on SetTimer. Intervals below the system's minimum (10 ms) run at that minimum.
#include "ui/win32/TimerPeer.h"

#include <functional>

namespace ui::win32 {

TimerPeer::TimerPeer(ui::Timer& timer, HWND window, UINT_PTR id)
    : timer_(timer), window_(window), id_(id) {
  timer_.AttachPeer(this);
  Apply();
}

TimerPeer::~TimerPeer() {
  if (running_) ::KillTimer(window_, id_);
  if (timer_.GetPeer() == this) timer_.AttachPeer(nullptr);
}

void TimerPeer::Changed(ui::Control&) {
  Apply();
}

void TimerPeer::Apply() {
  const bool enabled = timer_.Enabled();
  if (enabled == running_) return;
  if (enabled) {
    ::SetTimer(window_, id_, timer_.IntervalMs(), nullptr);
  } else {
    ::KillTimer(window_, id_);
  }
  running_ = enabled;
}

void TimerPeer::Fire() {
  if (!timer_.Enabled()) return;
  const std::function<void()> handler = timer_.onTimer;
  if (handler) handler();
}

}  // namespace ui::win32
