// The window's own work on a simulated clock where runs take turns (platform/sim/SimClock.h):
// the headless window acts between the workers' turns, so a session goes the same way every time.
#pragma once

#include "platform/sim/SimClock.h"
#include "ui/headless/HeadlessToolkit.h"

inline void GateWindowOnClock(ui::headless::HeadlessToolkit& toolkit,
                              platform::sim::SimClock& clock) {
  toolkit.SetWindowGate(
      {[&clock] { return clock.TryBeginWindowWork(); }, [&clock] { clock.EndWindowWork(); },
       [&clock] { return clock.WindowOffered(); }, [&clock] { clock.WantWindowWork(); }});
}
