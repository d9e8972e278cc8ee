// Chooses the native peer for a control by its kind; null for kinds without a window (timers,
// which the toolkit drives itself).
#pragma once

#include <memory>

#include "ui/win32/NativeControl.h"

namespace ui::win32 {

std::unique_ptr<NativeControl> MakePeer(Win32Toolkit& toolkit, ui::Control& control);

}  // namespace ui::win32
