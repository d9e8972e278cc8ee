// Veltrane.exe: the product. The console on the Win32 platform and the native toolkit; no
// options, no settings.
#include <exception>

#include "app/GuiMain.h"
#include "platform/win32/Win32Platform.h"
#include "ui/win32/Win32Toolkit.h"

int main() {
  try {
    platform::win32::Win32Platform os;
    platform::SetPlatform(&os);
    ui::win32::Win32Toolkit toolkit;
    // A second copy would open the same pipes and write the same Test.log.
    switch (toolkit.ClaimInstance("Veltrane.Console")) {
      case ui::win32::Win32Toolkit::Claim::kFirst:
        break;
      case ui::win32::Win32Toolkit::Claim::kForwarded:
        return 0;
      case ui::win32::Win32Toolkit::Claim::kOtherSession:
        ShowRunningElsewhere();
        return 0;
    }
    ui::SetToolkit(&toolkit);
    os.SetWindowResolver([&toolkit](platform::Handle recipient) -> void* {
      return toolkit.WindowOf(reinterpret_cast<const ui::Control*>(recipient));
    });
    const int status = RunConsoleWindows(toolkit);
    ui::SetToolkit(nullptr);
    platform::SetPlatform(nullptr);
    return status;
  } catch (const std::exception& e) {
    ShowFatalError(e.what());
    return 1;
  }
}
