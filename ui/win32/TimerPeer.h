// A ui::Timer driven by SetTimer on the toolkit's hidden window: running while enabled.
#pragma once

#include <windows.h>

#include "ui/Controls.h"

namespace ui::win32 {

class TimerPeer : public ui::Peer {
 public:
  TimerPeer(ui::Timer& timer, HWND window, UINT_PTR id);
  // Stops the system timer; detaches itself from the timer.
  ~TimerPeer() override;
  void Changed(ui::Control& control) override;
  // WM_TIMER: runs onTimer while enabled. The handler may free the timer's form.
  void Fire();
  ui::Timer& Model() const { return timer_; }

 private:
  void Apply();
  ui::Timer& timer_;
  HWND window_;
  UINT_PTR id_;
  bool running_ = false;
};

}  // namespace ui::win32
