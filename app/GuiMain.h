// The windowed console shared by Veltrane.exe and veltrane-sim.exe: the two forms on the native
// toolkit, from start-up to the operator closing the main window. The caller installs the
// platform and the toolkit first and owns both.
#pragma once

#include <functional>

namespace ui::win32 {
class Win32Toolkit;
}

// Creates TForm1 (FormCreate runs) and the hidden TForm2, shows the main window and runs the
// message loop until it is closed; then FormClose and the windows go. Returns the exit status.
// onStart, when given, runs on the GUI thread each time the operator presses Start or Start all,
// before the runs begin (the simulated bench counts the prompts from there).
int RunConsoleWindows(ui::win32::Win32Toolkit& toolkit, const std::function<void()>& onStart = {});

// An unexpected error in the standard error box (no owner: the windows may be gone).
void ShowFatalError(const char* what);

// The box of a copy started while another runs in another session of the computer (another
// user's, a remote desktop's), whose window this one cannot bring forward.
void ShowRunningElsewhere();
