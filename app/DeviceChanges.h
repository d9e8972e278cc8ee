// How a simulated bench's plug and unplug reach the main window as WM_DEVICECHANGE, for the
// programs and sessions that run the headless toolkit on the simulated platform. Owns nothing.
#pragma once

#include "console/Unit1.h"
#include "report/TestLog.h"
#include "ui/Toolkit.h"

// The bench calls this on the thread whose call made the device come or go. A change made by
// the worker's exchange is handled by the window before the worker goes on: Windows has the
// window handle it within moments, long before the worker's next 100 ms pause ends, and in
// virtual time that pause ends at once, so without the wait the worker would race the window
// and a run would not go the same way twice. On the GUI thread (discovery's own exchanges) the
// message is posted: handling it at once would re-enter discovery.
// The window's lines about a change are the station's, whichever thread's call made it: a run
// whose exchange or pause set off a bench event did not write them.
inline void DeliverDeviceChange(unsigned long code) {
  auto deliver = [code] {
    ScopedLogOwner lines(0);
    if (Form1 != nullptr) Form1->Dispatch(ui::kWmDeviceChange, code, 0);
  };
  if (ui::TheToolkit().IsGuiThread()) {
    ui::TheToolkit().Post(deliver);
  } else {
    ui::TheToolkit().Invoke(deliver);
  }
}
