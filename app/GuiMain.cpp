// The windowed console: start-up, message loop and shut-down in the system's order.
#include "app/GuiMain.h"

#include <windows.h>

#include <memory>

#include "console/Unit1.h"
#include "console/Unit2.h"
#include "ui/win32/Win32Toolkit.h"

int RunConsoleWindows(ui::win32::Win32Toolkit& toolkit, const std::function<void()>& onStart) {
  ApplicationTitle.clear();  // the application object starts with an empty title
  auto form1 = std::make_unique<TForm1>();
  if (onStart) {
    form1->Button1.onClick = [form = form1.get(), onStart] {
      onStart();
      form->Button1Click();
    };
    form1->StartAllButton.onClick = [form = form1.get(), onStart] {
      onStart();
      form->StartAllClick();
    };
  }
  // The window exists before FormCreate: the first scan registers it for device notifications.
  toolkit.Realize(*form1);
  form1->FormCreate();
  auto form2 = std::make_unique<TForm2>();
  toolkit.Realize(*form2);
  // Enter and Esc close the result dialog.
  toolkit.SetDialogButtons(*form2, &form2->Button1, &form2->Button1);
  toolkit.Show(*form1);
  toolkit.RunUntil([&] { return toolkit.CloseRequested(*form1); });
  form1->FormClose();
  toolkit.Unrealize(*form2);
  toolkit.Unrealize(*form1);
  form2.reset();
  form1.reset();
  return 0;
}

void ShowFatalError(const char* what) {
  ::MessageBoxA(nullptr, what, "Veltrane", MB_OK | MB_ICONERROR);
}

void ShowRunningElsewhere() {
  ::MessageBoxA(nullptr,
                "Veltrane is already running in another session on this computer (another user "
                "or a remote desktop).\n\nOnly one copy can drive the units: close that copy "
                "first.",
                "Veltrane", MB_OK | MB_ICONINFORMATION);
}
