// The native toolkit under Windows (or Wine): the windows of the two forms at their sizes and
// places, control changes reaching the windows, operator actions reaching the handlers, invokes
// from a worker in call order on the GUI thread, timers, modal forms, message boxes owned by the
// main window, and WM_DEVICECHANGE reaching the form.
#include <gtest/gtest.h>

#include <windows.h>
// windows.h first: commctrl.h relies on its types.
#include <commctrl.h>
#include <dbt.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "console/Unit1.h"
#include "console/Unit2.h"
#include "ui/win32/Win32Toolkit.h"

namespace {

using ui::win32::Win32Toolkit;

// Windows need a display: under Wine without an X server only message windows can be made, and
// the suite says so rather than failing (the test command runs it under Xvfb).
bool CanMakeWindows() {
  HWND probe = ::CreateWindowExA(0, "STATIC", "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
  if (probe == nullptr) return false;
  ::DestroyWindow(probe);
  return true;
}

class Win32ToolkitTest : public ::testing::Test {
 protected:
  Win32ToolkitTest() { ui::SetToolkit(&toolkit_); }
  ~Win32ToolkitTest() override { ui::SetToolkit(nullptr); }
  void SetUp() override {
    if (!CanMakeWindows()) GTEST_SKIP() << "no display to make windows on (run under Xvfb)";
  }

  // The control's window rectangle in its form's client coordinates.
  RECT ClientRect(const ui::Control& control, const ui::Form& form) {
    RECT r{};
    ::GetWindowRect(toolkit_.WindowOf(&control), &r);
    ::MapWindowPoints(HWND_DESKTOP, toolkit_.WindowOf(&form), reinterpret_cast<POINT*>(&r), 2);
    return r;
  }
  std::string Text(const ui::Control& control) {
    char text[256] = {};
    ::GetWindowTextA(toolkit_.WindowOf(&control), text, sizeof text);
    return text;
  }
  bool Styled(const ui::Control& control, LONG bits) {
    return (::GetWindowLongA(toolkit_.WindowOf(&control), GWL_STYLE) & bits) == bits;
  }

  Win32Toolkit toolkit_;
};

// A form of its own, with one control of each kind.
struct TestForm : ui::Form {
  TestForm()
      : ui::Form("TestForm", 300, 200),
        Label1(this, "Label1", {8, 8, 0, 0}),
        ComboBox1(this, "ComboBox1", {8, 30, 120, 0}),
        ListView1(this, "ListView1", {140, 8, 150, 120}),
        Memo1(this, "Memo1", {8, 60, 120, 80}),
        Button1(this, "Button1", {8, 160, 80, 25}),
        Image1(this, "Image1", {200, 140, 40, 40}) {
    ListView1.smallImages = &images;
  }
  long Dispatch(unsigned message, unsigned long wParam, long lParam) override {
    dispatched.push_back(wParam);
    return ui::Form::Dispatch(message, wParam, lParam) + 7;
  }
  ui::Label Label1;
  ui::ComboBox ComboBox1;
  ui::ListView ListView1;
  ui::Memo Memo1;
  ui::Button Button1;
  ui::Image Image1;
  ui::ImageList images;
  std::vector<unsigned long> dispatched;
};

TEST_F(Win32ToolkitTest, MainWindowAndResultDialogHaveTheirClientSizesBordersAndControlPlaces) {
  TForm1 form1;
  TForm2 form2;
  toolkit_.Realize(form1);
  toolkit_.Realize(form2);
  struct Case {
    const ui::Form& form;
    int width;
    int height;
  };
  for (const Case& c : {Case{form1, 563, 389}, Case{form2, 409, 325}}) {
    SCOPED_TRACE(c.form.Name());
    HWND window = toolkit_.WindowOf(&c.form);
    RECT client{};
    ::GetClientRect(window, &client);
    EXPECT_EQ(client.right, c.width);
    EXPECT_EQ(client.bottom, c.height);
    EXPECT_TRUE(Styled(c.form, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));
    EXPECT_FALSE(Styled(c.form, WS_THICKFRAME));
    EXPECT_FALSE(Styled(c.form, WS_MAXIMIZEBOX));
  }
  EXPECT_EQ(::GetWindow(toolkit_.WindowOf(&form2), GW_OWNER), toolkit_.WindowOf(&form1));
  struct Place {
    const ui::Control& control;
    const ui::Form& form;
    RECT rect;
  };
  const Place places[] = {
      {form1.Button1, form1, {448, 356, 545, 381}},  {form1.Button2, form1, {16, 356, 113, 381}},
      {form1.ListView1, form1, {288, 36, 545, 336}}, {form1.Image3, form1, {16, 79, 266, 329}},
      {form2.Memo1, form2, {8, 80, 401, 281}},       {form2.Button1, form2, {320, 288, 401, 313}},
  };
  for (const Place& p : places) {
    SCOPED_TRACE(p.control.Name());
    const RECT r = ClientRect(p.control, p.form);
    EXPECT_EQ(std::vector<LONG>({r.left, r.top, r.right, r.bottom}),
              std::vector<LONG>({p.rect.left, p.rect.top, p.rect.right, p.rect.bottom}));
  }
  EXPECT_EQ(Text(form1), "Veltrane");
  EXPECT_EQ(Text(form1.Button1), "Start");
  EXPECT_FALSE(::IsWindowEnabled(toolkit_.WindowOf(&form1.Button2)));
  EXPECT_FALSE(Styled(form1.Image1, WS_VISIBLE));
  EXPECT_FALSE(Styled(form2.Button2, WS_VISIBLE));  // "Send" is never shown
  HWND list = toolkit_.WindowOf(&form1.ListView1);
  EXPECT_TRUE(Styled(form1.ListView1, LVS_REPORT | LVS_NOCOLUMNHEADER));
  EXPECT_EQ(ImageList_GetImageCount(ListView_GetImageList(list, LVSIL_SMALL)), 4);
  toolkit_.Unrealize(form2);
  toolkit_.Unrealize(form1);
}

TEST_F(Win32ToolkitTest, ControlChangesReachTheirWindows) {
  TestForm form;
  toolkit_.Realize(form);
  form.Label1.SetCaption("Device:");
  form.ComboBox1.AddItem("[0] TM36K");
  form.ComboBox1.AddItem("[1] ZP75");
  form.ComboBox1.SetItemIndex(1);
  form.ListView1.AddColumn(140);
  for (const char* step : {"Get device information", "Load disc", "Unload disc"}) {
    form.ListView1.AddItem(step, 0);
  }
  form.ListView1.SetImageIndex(0, 1);
  form.ListView1.SetImageIndex(2, 3);
  form.Memo1.Clear();
  form.Memo1.Append("1. Get device information");
  form.Memo1.Append("    [OK] The task has been fulfilled.");
  form.Button1.SetEnabled(false);
  form.Image1.SetVisible(false);

  EXPECT_EQ(Text(form.Label1), "Device:");
  HWND combo = toolkit_.WindowOf(&form.ComboBox1);
  EXPECT_EQ(::SendMessageA(combo, CB_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(::SendMessageA(combo, CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(Text(form.ComboBox1), "[1] ZP75");
  HWND list = toolkit_.WindowOf(&form.ListView1);
  ASSERT_EQ(ListView_GetItemCount(list), 3);
  std::vector<int> images;
  for (int i = 0; i < 3; ++i) {
    LVITEMA row{};
    row.mask = LVIF_IMAGE;
    row.iItem = i;
    ::SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&row));
    images.push_back(row.iImage);
  }
  EXPECT_EQ(images, (std::vector<int>{1, 0, 3}));
  EXPECT_EQ(Text(form.Memo1), "1. Get device information\r\n    [OK] The task has been fulfilled.");
  EXPECT_FALSE(::IsWindowEnabled(toolkit_.WindowOf(&form.Button1)));
  EXPECT_FALSE(Styled(form.Image1, WS_VISIBLE));
  form.ListView1.Clear();
  EXPECT_EQ(ListView_GetItemCount(list), 0);
  toolkit_.Unrealize(form);
}

TEST_F(Win32ToolkitTest, OperatorActionsOnTheWindowsReachTheHandlers) {
  TestForm form;
  toolkit_.Realize(form);
  int clicks = 0;
  int picked = -2;
  form.Button1.onClick = [&] { ++clicks; };
  form.ComboBox1.onChange = [&] { picked = form.ComboBox1.ItemIndex(); };
  form.ComboBox1.AddItem("[0] TM36K");
  form.ComboBox1.AddItem("[1] ZP75");
  HWND button = toolkit_.WindowOf(&form.Button1);
  ::SendMessageA(button, BM_CLICK, 0, 0);
  EXPECT_EQ(clicks, 1);
  form.Button1.SetEnabled(false);
  ::SendMessageA(toolkit_.WindowOf(&form), WM_COMMAND, MAKEWPARAM(0, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
  EXPECT_EQ(clicks, 1);  // a disabled button does not click
  HWND combo = toolkit_.WindowOf(&form.ComboBox1);
  ::SendMessageA(combo, CB_SETCURSEL, 1, 0);
  ::SendMessageA(toolkit_.WindowOf(&form), WM_COMMAND, MAKEWPARAM(0, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
  EXPECT_EQ(picked, 1);
  EXPECT_EQ(form.ComboBox1.Text(), "[1] ZP75");
  toolkit_.Unrealize(form);
}

// The broadcast is answered first: the removals that come before the window's next message reach
// the form once, as that message; the arrivals of one plug-in (interface, storage child, volume
// with its letter) reach it once, after the burst has settled; a disc going into or out of a
// drive (a volume broadcast with the media flag) and the events of a watched handle do not reach
// it at all.
TEST_F(Win32ToolkitTest, DeviceChangesRemovalsAfterTheBroadcastArrivalsOnceABurstHasSettled) {
  TestForm form;
  toolkit_.Realize(form);
  HWND window = toolkit_.WindowOf(&form);
  DEV_BROADCAST_DEVICEINTERFACE_A device{};
  device.dbcc_size = sizeof device;
  device.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << 4;  // E:
  DEV_BROADCAST_VOLUME media = volume;
  media.dbcv_flags = DBTF_MEDIA;
  auto send = [&](WPARAM event, const void* broadcast) {
    return ::SendMessageA(
        window, WM_DEVICECHANGE, event,
        reinterpret_cast<LPARAM>(broadcast));  // NOLINT(performance-no-int-to-ptr)
  };
  // The thread's own messages pumped until the form has heard `until` changes or the time is up:
  // bounded whatever the window does.
  auto pumpFor = [&](int ms, std::size_t until) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (form.dispatched.size() < until && std::chrono::steady_clock::now() < end) {
      MSG msg;
      while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
      }
      ::Sleep(10);
    }
  };

  EXPECT_EQ(send(ui::kDbtDeviceArrival, &device), TRUE);
  EXPECT_EQ(send(ui::kDbtDeviceArrival, &device), TRUE);
  EXPECT_EQ(send(ui::kDbtDeviceArrival, &volume), TRUE);
  EXPECT_TRUE(form.dispatched.empty()) << "an arrival waits for the burst to settle";
  EXPECT_EQ(send(ui::kDbtDeviceRemoveComplete, &device), TRUE);
  EXPECT_EQ(send(ui::kDbtDeviceRemoveComplete, &volume), TRUE);
  EXPECT_TRUE(form.dispatched.empty()) << "no scan inside the system's broadcast";
  pumpFor(5000, 2);
  EXPECT_EQ(form.dispatched,
            (std::vector<unsigned long>{ui::kDbtDeviceRemoveComplete, ui::kDbtDeviceArrival}));

  DEV_BROADCAST_HANDLE watched{};
  watched.dbch_size = sizeof watched;
  watched.dbch_devicetype = DBT_DEVTYP_HANDLE;
  send(ui::kDbtDeviceArrival, &media);
  send(ui::kDbtDeviceRemoveComplete, &media);
  send(ui::kDbtDeviceRemoveComplete, &watched);
  ::SendMessageA(window, WM_DEVICECHANGE, 0x0007, 0);  // DBT_DEVNODES_CHANGED: not the form's
  pumpFor(1500, 3);
  EXPECT_EQ(form.dispatched.size(), 2u) << "a disc in or out of a drive starts no scan";
  toolkit_.Unrealize(form);
}

// A query to remove the device behind a watched handle goes to the form's handler with that
// handle, inside the broadcast, and is granted; one about a volume or a device interface is
// granted without it. How that removal ends (refused, pending, complete) reaches the form's other
// handler with the handle and its notification, after the broadcast has been answered.
TEST_F(Win32ToolkitTest, QueryToRemoveAWatchedHandleReachesTheFormsHandlerAndIsGranted) {
  TestForm form;
  std::vector<std::intptr_t> released;
  std::vector<std::string> ended;
  form.onHandleQueryRemove = [&](std::intptr_t handle) { released.push_back(handle); };
  form.onHandleRemoveEnded = [&](bool refused, std::intptr_t handle, std::intptr_t notification) {
    ended.push_back(std::string(refused ? "refused " : "gone ") + std::to_string(handle) + " " +
                    std::to_string(notification));
  };
  toolkit_.Realize(form);
  HWND window = toolkit_.WindowOf(&form);
  DEV_BROADCAST_HANDLE watched{};
  watched.dbch_size = sizeof watched;
  watched.dbch_devicetype = DBT_DEVTYP_HANDLE;
  watched.dbch_handle = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(::SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE,
                           reinterpret_cast<LPARAM>(&watched)),
            TRUE);
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  EXPECT_EQ(::SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE,
                           reinterpret_cast<LPARAM>(&volume)),
            TRUE);
  EXPECT_EQ(released, std::vector<std::intptr_t>{0x1234});
  watched.dbch_hdevnotify = reinterpret_cast<HDEVNOTIFY>(0x77);
  for (WPARAM event : {DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVICEREMOVEPENDING}) {
    EXPECT_EQ(::SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&watched)),
              TRUE);
  }
  EXPECT_TRUE(ended.empty()) << "answered first";
  MSG msg;
  for (int i = 0; i < 50 && ended.size() < 2; ++i) {
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
    ::Sleep(10);
  }
  EXPECT_EQ(ended, (std::vector<std::string>{"refused 4660 119", "gone 4660 119"}));
  EXPECT_TRUE(form.dispatched.empty());  // not an arrival or a removal for the console
  toolkit_.Unrealize(form);
}

// A second copy of the program finds the first by its named mutex: it is told to end, and the
// first one's main window comes forward, restored from the taskbar.
TEST_F(Win32ToolkitTest, SecondCopyBringsTheFirstForwardAndIsToldToEnd) {
  const std::string name = "Local\\VeltraneTest." + std::to_string(::GetCurrentProcessId());
  TestForm form;
  ASSERT_TRUE(toolkit_.ClaimInstance(name.c_str()));
  toolkit_.Realize(form);
  toolkit_.Show(form);
  HWND window = toolkit_.WindowOf(&form);
  ::ShowWindow(window, SW_MINIMIZE);
  ASSERT_TRUE(::IsIconic(window));
  EXPECT_FALSE(toolkit_.ClaimInstance(name.c_str()));
  EXPECT_FALSE(::IsIconic(window));
  toolkit_.Unrealize(form);
}

TEST_F(Win32ToolkitTest, InvokesFromAWorkerRunOnTheGuiThreadInCallOrderAndRethrow) {
  std::vector<int> order;  // touched on the GUI thread only
  std::atomic<int> offGuiThread{0};
  std::atomic<bool> rethrown{false};
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) {
      ui::TheToolkit().Invoke([&, i] {
        if (!ui::IsGuiThread()) ++offGuiThread;
        order.push_back(i);
      });
      if (i == 50) toolkit_.Post([&] { order.push_back(-1); });
    }
    try {
      ui::TheToolkit().Invoke([] { throw std::runtime_error("refused"); });
    } catch (const std::runtime_error&) {
      rethrown = true;
    }
    finished = true;
  });
  toolkit_.RunUntil([&] { return finished.load(); });
  worker.join();
  EXPECT_EQ(offGuiThread.load(), 0);
  EXPECT_TRUE(rethrown.load());
  std::vector<int> invoked;
  for (int value : order) {
    if (value >= 0) invoked.push_back(value);
  }
  ASSERT_EQ(invoked.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(invoked[static_cast<std::size_t>(i)], i);
}

TEST_F(Win32ToolkitTest, TimerFiresOnTheGuiLoopUntilItsHandlerDisablesIt) {
  TestForm form;
  ui::Timer timer(&form, "Timer1", 5);
  int ticks = 0;
  bool onGui = true;
  timer.onTimer = [&] {
    onGui = onGui && ui::IsGuiThread();
    if (++ticks == 3) timer.SetEnabled(false);
  };
  toolkit_.RunUntil([&] { return ticks == 3; });
  timer.SetEnabled(false);
  EXPECT_TRUE(onGui);
  EXPECT_FALSE(timer.Enabled());
}

TEST_F(Win32ToolkitTest, ModalFormKeepsTheMainWindowDisabledUntilClosed) {
  TForm1 form1;
  TForm2 form2;
  toolkit_.Realize(form1);
  toolkit_.Realize(form2);
  bool mainEnabledMeanwhile = true;
  bool dialogShown = false;
  toolkit_.Post([&] {
    mainEnabledMeanwhile = ::IsWindowEnabled(toolkit_.WindowOf(&form1)) != FALSE;
    dialogShown = (::GetWindowLongA(toolkit_.WindowOf(&form2), GWL_STYLE) & WS_VISIBLE) != 0;
    form2.Button1.Click();  // "Close"
  });
  toolkit_.ShowModal(form2);
  EXPECT_FALSE(form2.modalOpen);
  EXPECT_FALSE(mainEnabledMeanwhile);
  EXPECT_TRUE(dialogShown);
  EXPECT_TRUE(::IsWindowEnabled(toolkit_.WindowOf(&form1)));
  EXPECT_FALSE(Styled(form2, WS_VISIBLE));
  toolkit_.Unrealize(form2);
  toolkit_.Unrealize(form1);
}

// The operator: finds the box by its caption, checks its owner and presses a button; gives up
// after a bounded number of looks.
HWND AnswerBox(const char* caption, int button) {
  for (int look = 0; look < 500; ++look) {
    if (HWND box = ::FindWindowA("#32770", caption)) {
      ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
      return box;
    }
    ::Sleep(20);
  }
  return nullptr;
}

TEST_F(Win32ToolkitTest, MessageBoxFromTheWorkerIsOwnedByTheMainWindowAndAnswered) {
  TestForm form;
  toolkit_.Realize(form);
  toolkit_.Show(form);
  std::atomic<int> answer{0};
  std::atomic<bool> finished{false};
  HWND owner = nullptr;
  std::thread worker([&] {
    answer = ui::TheToolkit().MessageBox(&form, "Tray is not open", "Veltrane check",
                                         ui::kMbRetryCancel | ui::kMbIconError);
    finished = true;
  });
  std::thread operatorThread([&] {
    HWND box = AnswerBox("Veltrane check", IDRETRY);
    owner = box != nullptr ? ::GetWindow(box, GW_OWNER) : nullptr;
  });
  // The GUI thread keeps its loop running meanwhile: the box talks to its owner window.
  toolkit_.RunUntil([&] { return finished.load(); });
  worker.join();
  operatorThread.join();
  EXPECT_EQ(owner, toolkit_.WindowOf(&form));
  EXPECT_EQ(answer.load(), ui::kIdRetry);
  toolkit_.Unrealize(form);
}

}  // namespace
