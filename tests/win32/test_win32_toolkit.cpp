// The native toolkit under Windows (or Wine): the windows of the two forms at their sizes and
// places, control changes reaching the windows (also while several workers rewrite them),
// operator actions reaching the handlers, invokes from several workers in call order on the GUI
// thread, timers, modal forms, message boxes of several workers one at a time and never behind a
// dialog, WM_DEVICECHANGE reaching the form, and the session's end while a run goes.
#include <gtest/gtest.h>

#include <windows.h>
// windows.h first: commctrl.h relies on its types.
#include <commctrl.h>
#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../ConsoleFixture.h"
#include "console/Unit1.h"
#include "console/Unit2.h"
#include "platform/win32/Win32Calls.h"
#include "platform/win32/Win32Platform.h"
#include "report/RecordFiles.h"
#include "ui/win32/Win32Toolkit.h"

namespace {

using ui::win32::Win32Toolkit;

std::vector<HWND> OpenBoxes();

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
  ~Win32ToolkitTest() override {
    ui::SetToolkit(nullptr);
    if (!dumpFolder_.empty()) {
      toolkit_.EnableStateDump("");
      ::DeleteFileA((dumpFolder_ + "\\ui-state.txt").c_str());
      ::DeleteFileA((dumpFolder_ + "\\ui-state.txt.tmp").c_str());
      ::RemoveDirectoryA(dumpFolder_.c_str());
    }
  }
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

  // A key pressed where the focus is (Shift held or not), handled by the toolkit's loop as the
  // operator's would be: the loop runs until what the key set off has been handled.
  void Press(UINT key, bool shift = false) {
    BYTE keys[256] = {};
    ::GetKeyboardState(keys);
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    ::SetKeyboardState(keys);
    HWND focus = ::GetFocus();
    if (key >= 'A' && key <= 'Z') {  // Alt and the letter: a mnemonic
      ::PostMessageA(focus, WM_SYSCHAR, key - 'A' + 'a', LPARAM{1} << 29);
    } else {
      ::PostMessageA(focus, WM_KEYDOWN, key, 1);
      ::PostMessageA(focus, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
    }
    Settle();
    keys[VK_SHIFT] = 0;
    ::SetKeyboardState(keys);
  }
  // Runs the loop until what is queued now has been handled.
  void Settle() {
    bool handled = false;
    toolkit_.Post([&handled] { handled = true; });
    toolkit_.RunUntil([&handled] { return handled; });
  }
  // fn runs on the GUI thread once the form is open modally (looked for in the loop).
  void OnceModal(ui::Form& form, std::function<void()> fn, int looks = 500) {
    toolkit_.Post([this, &form, fn = std::move(fn), looks] {
      if (form.modalOpen || looks == 0) {
        fn();
      } else {
        ::Sleep(1);
        OnceModal(form, fn, looks - 1);
      }
    });
  }
  // The control that has the focus (a combo box has it in its edit field), or null.
  const ui::Control* Focused(const std::vector<const ui::Control*>& among) {
    HWND focus = ::GetFocus();
    for (const ui::Control* control : among) {
      HWND window = toolkit_.WindowOf(control);
      if (window != nullptr && (focus == window || ::IsChild(window, focus))) return control;
    }
    return nullptr;
  }

  // Turns the state dump on, into a folder of the test's own (removed at its end).
  std::string EnableDump() {
    char temp[MAX_PATH] = {};
    ::GetTempPathA(sizeof temp, temp);
    dumpFolder_ = std::string(temp) + "veltrane-dump-" + std::to_string(::GetCurrentProcessId());
    ::CreateDirectoryA(dumpFolder_.c_str(), nullptr);
    const std::string path = dumpFolder_ + "\\ui-state.txt";
    toolkit_.EnableStateDump(path);
    return path;
  }

  Win32Toolkit toolkit_;
  std::string dumpFolder_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
      {form1.Button1, form1, {448, 356, 545, 381}},
      {form1.Button2, form1, {16, 356, 113, 381}},
      {form1.StartAllButton, form1, {344, 356, 441, 381}},
      {form1.ListView1, form1, {288, 36, 545, 336}},
      {form1.Image3, form1, {16, 79, 266, 329}},
      {form2.Memo1, form2, {8, 80, 401, 281}},
      {form2.Button1, form2, {320, 288, 401, 313}},
  };
  for (const Place& p : places) {
    SCOPED_TRACE(p.control.Name());
    const RECT r = ClientRect(p.control, p.form);
    EXPECT_EQ(std::vector<LONG>({r.left, r.top, r.right, r.bottom}),
              std::vector<LONG>({p.rect.left, p.rect.top, p.rect.right, p.rect.bottom}));
  }
  // The combo box and the list view lie over the panel: a click in them is theirs.
  for (const ui::Control* control :
       {static_cast<ui::Control*>(&form1.ComboBox1), static_cast<ui::Control*>(&form1.ListView1)}) {
    const RECT r = ClientRect(*control, form1);
    const POINT middle{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    EXPECT_EQ(::ChildWindowFromPointEx(toolkit_.WindowOf(&form1), middle, CWP_SKIPINVISIBLE),
              toolkit_.WindowOf(control))
        << control->Name();
  }
  EXPECT_EQ(Text(form1), "Veltrane");
  // Each button's mnemonic underlines a letter of its caption, one letter per window.
  EXPECT_EQ(Text(form1.Button1), "&Start");
  EXPECT_EQ(Text(form1.Button2), "&Result");
  EXPECT_EQ(Text(form2.Button1), "&Close");

  EXPECT_FALSE(::IsWindowEnabled(toolkit_.WindowOf(&form1.Button2)));
  EXPECT_FALSE(Styled(form1.Image1, WS_VISIBLE));
  EXPECT_FALSE(Styled(form2.Button2, WS_VISIBLE));  // "Send" is never shown
  // "Start all" waits for a second unit: it appears in a window that is already on the screen.
  EXPECT_FALSE(Styled(form1.StartAllButton, WS_VISIBLE));
  toolkit_.Show(form1);
  form1.StartAllButton.SetVisible(true);
  EXPECT_TRUE(::IsWindowVisible(toolkit_.WindowOf(&form1.StartAllButton)));
  EXPECT_EQ(Text(form1.StartAllButton), "Start &all");
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

  // A device's description reaches the core in UTF-8 and is shown in the code page, as the
  // system's own name; bytes that are no UTF-8 (a unit's reply) are shown as they are.
  if (::GetACP() == 1252) {
    form.ComboBox1.AddItem("[2] Drucker f\xC3\xBCr CD (Z1)");
    form.ComboBox1.SetItemIndex(2);
    form.Memo1.Clear();
    form.Memo1.Append("[2] Drucker f\xC3\xBCr CD (Z1) - Error");
    form.Memo1.Append("    [ERROR] \xFC\x80");
    char item[64] = {};
    ::SendMessageA(combo, CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(item));
    EXPECT_STREQ(item, "[2] Drucker f\xFCr CD (Z1)");
    EXPECT_EQ(Text(form.ComboBox1), "[2] Drucker f\xFCr CD (Z1)");
    EXPECT_EQ(Text(form.Memo1), "[2] Drucker f\xFCr CD (Z1) - Error\r\n    [ERROR] \xFC\x80");
  }
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

// A station rewrites its combo's items with each unit's state while runs go, from the workers'
// status operations: the operator's selection and an open drop-down stay as they were, and no
// rewrite is taken for a pick of the operator's. The state dump shows the items and the open list.
TEST_F(Win32ToolkitTest, ComboItemsRewrittenByWorkersKeepTheSelectionAndTheOpenDropDown) {
  TestForm form;
  toolkit_.Realize(form);
  toolkit_.Show(form);
  int changes = 0;
  form.ComboBox1.onChange = [&] { ++changes; };
  const std::vector<std::string> units = {"[0] TM36K (T1)", "[1] LQ40 (L1)", "[2] ZP61 (Z1)"};
  for (const std::string& unit : units) form.ComboBox1.AddItem(unit + " - idle");
  form.ComboBox1.SetItemIndex(1);
  HWND combo = toolkit_.WindowOf(&form.ComboBox1);
  ::SendMessageA(combo, CB_SHOWDROPDOWN, TRUE, 0);
  ASSERT_TRUE(::SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0));
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w) {
    workers.emplace_back([&, w] {
      for (int row = 1; row <= 20; ++row) {
        ui::TheToolkit().Invoke([&] {
          std::vector<std::string> texts = form.ComboBox1.Items();
          texts[static_cast<std::size_t>(w)] = units[static_cast<std::size_t>(w)] +
                                               " - running, row " + std::to_string(row) + " of 20";
          const int index = form.ComboBox1.ItemIndex();
          form.ComboBox1.Clear();
          for (const std::string& text : texts) form.ComboBox1.AddItem(text);
          form.ComboBox1.SetItemIndex(index);
        });
      }
      ++finished;
    });
  }
  toolkit_.RunUntil([&] { return finished.load() == 3; });
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(form.ComboBox1.ItemIndex(), 1);
  EXPECT_TRUE(::SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0)) << "the drop-down closed";
  EXPECT_EQ(::SendMessageA(combo, CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(Text(form.ComboBox1), "[1] LQ40 (L1) - running, row 20 of 20");
  std::vector<std::string> shown;
  for (int i = 0; i < ::SendMessageA(combo, CB_GETCOUNT, 0, 0); ++i) {
    char text[128] = {};
    if (::SendMessageA(combo, CB_GETLBTEXTLEN, i, 0) < static_cast<LRESULT>(sizeof text)) {
      ::SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    }
    shown.emplace_back(text);
  }
  EXPECT_EQ(shown, form.ComboBox1.Items());
  RECT box{};
  ::GetWindowRect(combo, &box);
  EXPECT_GT(::SendMessageA(combo, CB_GETDROPPEDWIDTH, 0, 0), box.right - box.left)
      << "the list shows the states whole, wider than the box";
  const std::string dump = EnableDump();
  toolkit_.WriteStateDump();
  const std::string state = ReadFile(dump);
  EXPECT_NE(state.find("TestForm.ComboBox1.list\tdropped=1\tcut="), std::string::npos) << state;
  EXPECT_EQ(state.find("TestForm.ComboBox1.list\tdropped=1\tcut=0\n"), std::string::npos)
      << "this box is narrower than its items: the dump counts them as cut off\n"
      << state;
  EXPECT_NE(
      state.find("\nTestForm.ComboBox1.item[0]\ttext=[0] TM36K (T1) - running, row 20 of 20\n"),
      std::string::npos)
      << state;
  ::SendMessageA(combo, CB_SHOWDROPDOWN, FALSE, 0);
  EXPECT_EQ(changes, 0) << "closing the drop-down is no pick";
  EXPECT_EQ(form.ComboBox1.ItemIndex(), 1);
  // The closed list's last messages (capture released, focus) are handled before the windows go.
  const DWORD settled = ::GetTickCount() + 200;
  toolkit_.RunUntil([&] { return ::GetTickCount() > settled; });
  toolkit_.EnableStateDump("");
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
// handle, inside the broadcast, and is granted when the handler closed it, refused
// (BROADCAST_QUERY_DENY) when it could not; one about a volume or a device interface is granted
// without it. How that removal ends (refused, pending, complete) reaches the form's other
// handler with the handle and its notification, after the broadcast has been answered.
TEST_F(Win32ToolkitTest, QueryToRemoveAWatchedHandleReachesTheFormsHandlerAndIsGranted) {
  TestForm form;
  std::vector<std::intptr_t> released;
  std::vector<std::string> ended;
  form.onHandleQueryRemove = [&](std::intptr_t handle) {
    released.push_back(handle);
    return handle != 0x4321;  // a handle a transfer still holds
  };
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
  DEV_BROADCAST_HANDLE held = watched;
  held.dbch_handle = reinterpret_cast<HANDLE>(0x4321);
  EXPECT_EQ(::SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE,
                           reinterpret_cast<LPARAM>(&held)),
            BROADCAST_QUERY_DENY);
  EXPECT_EQ(released, (std::vector<std::intptr_t>{0x1234, 0x4321}));
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

// A second copy of the program finds the first by its named mutexes. In the same session it is
// told to end, and the first one's main window comes forward, restored from the taskbar; while a
// copy runs in another session (which holds only the computer's mutex here) it is told so, and
// takes neither mutex.
TEST_F(Win32ToolkitTest, SecondCopyBringsTheFirstForwardOrIsToldOfTheOtherSession) {
  using Claim = Win32Toolkit::Claim;
  const std::string name = "VeltraneTest." + std::to_string(::GetCurrentProcessId());
  TestForm form;
  HANDLE otherSession = ::CreateMutexA(nullptr, FALSE, ("Global\\" + name).c_str());
  ASSERT_NE(otherSession, nullptr);
  EXPECT_EQ(toolkit_.ClaimInstance(name), Claim::kOtherSession);
  EXPECT_EQ(toolkit_.ClaimInstance(name), Claim::kOtherSession) << "it kept the session's";
  ::CloseHandle(otherSession);
  ASSERT_EQ(toolkit_.ClaimInstance(name), Claim::kFirst);
  toolkit_.Realize(form);
  toolkit_.Show(form);
  HWND window = toolkit_.WindowOf(&form);
  ::ShowWindow(window, SW_MINIMIZE);
  ASSERT_TRUE(::IsIconic(window));
  EXPECT_EQ(toolkit_.ClaimInstance(name), Claim::kForwarded);
  EXPECT_FALSE(::IsIconic(window));
  toolkit_.Unrealize(form);
}

// Several workers at once (a station's runs): each one's invokes run on the GUI thread in its
// own call order, and each gets back its own exception.
TEST_F(Win32ToolkitTest, InvokesFromSeveralWorkersRunOnTheGuiThreadInCallOrderAndRethrow) {
  constexpr int kWorkers = 3;
  std::vector<std::pair<int, int>> order;  // (worker, call); touched on the GUI thread only
  std::atomic<int> offGuiThread{0};
  std::atomic<int> rethrown{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < 100; ++i) {
        ui::TheToolkit().Invoke([&, w, i] {
          if (!ui::IsGuiThread()) ++offGuiThread;
          order.emplace_back(w, i);
        });
        if (i == 50) toolkit_.Post([&, w] { order.emplace_back(w, -1); });
      }
      try {
        ui::TheToolkit().Invoke([w] { throw std::runtime_error(std::to_string(w)); });
      } catch (const std::runtime_error& e) {
        if (e.what() == std::to_string(w)) ++rethrown;
      }
      ++finished;
    });
  }
  toolkit_.RunUntil([&] { return finished.load() == kWorkers; });
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(offGuiThread.load(), 0);
  EXPECT_EQ(rethrown.load(), kWorkers);
  for (int w = 0; w < kWorkers; ++w) {
    std::vector<int> invoked;
    for (const auto& [who, value] : order) {
      if (who == w && value >= 0) invoked.push_back(value);
    }
    ASSERT_EQ(invoked.size(), 100u) << "worker " << w;
    for (int i = 0; i < 100; ++i) EXPECT_EQ(invoked[static_cast<std::size_t>(i)], i);
  }
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
  // A second showing while it is open (the last run ending meanwhile) only brings it forward:
  // it returns at once, and the one Close ends the dialog.
  bool openAfterSecondShowing = false;
  toolkit_.Post([&] {
    toolkit_.ShowModal(form2);
    openAfterSecondShowing = form2.modalOpen;
  });
  bool mainEnabledMeanwhile = true;
  bool dialogShown = false;
  toolkit_.Post([&] {
    mainEnabledMeanwhile = ::IsWindowEnabled(toolkit_.WindowOf(&form1)) != FALSE;
    dialogShown = (::GetWindowLongA(toolkit_.WindowOf(&form2), GWL_STYLE) & WS_VISIBLE) != 0;
    form2.Button1.Click();  // "Close"
  });
  toolkit_.ShowModal(form2);
  EXPECT_TRUE(openAfterSecondShowing);
  EXPECT_FALSE(form2.modalOpen);
  EXPECT_FALSE(mainEnabledMeanwhile);
  EXPECT_TRUE(dialogShown);
  EXPECT_TRUE(::IsWindowEnabled(toolkit_.WindowOf(&form1)));
  EXPECT_FALSE(Styled(form2, WS_VISIBLE));
  toolkit_.Unrealize(form2);
  toolkit_.Unrealize(form1);
}

// The keyboard alone: the main window comes up active with the focus on the combo box; Tab and
// Shift+Tab follow the screen; Alt and a button's letter press it, so does Enter on a focused
// button; the result dialog opens on its default Close, which Enter and Esc press, and Tab leaves
// its memo; closing a dialog or a box puts the focus back where it was.
TEST_F(Win32ToolkitTest, KeyboardAloneMovesThroughTheWindowsAndClosesTheResultDialog) {
  TForm1 form1;
  TForm2 form2;
  toolkit_.Realize(form1);
  toolkit_.Realize(form2);
  toolkit_.SetDialogButtons(form2, &form2.Button1, &form2.Button1);  // as the program does
  EXPECT_TRUE(Styled(form2.Button1, BS_DEFPUSHBUTTON)) << "Close is the dialog's default";
  form1.Button2.SetEnabled(true);
  form1.StartAllButton.SetVisible(true);
  int starts = 0;
  int startAlls = 0;
  form1.Button1.onClick = [&] { ++starts; };
  form1.StartAllButton.onClick = [&] { ++startAlls; };
  toolkit_.Show(form1);
  Settle();
  const std::vector<const ui::Control*> controls = {
      &form1.ComboBox1, &form1.ListView1, &form1.Button2, &form1.StartAllButton,
      &form1.Button1,   &form2.Memo1,     &form2.Button1};
  EXPECT_EQ(::GetActiveWindow(), toolkit_.WindowOf(&form1));
  EXPECT_EQ(Focused(controls), &form1.ComboBox1);
  // Tab goes round the window in the order the operator reads it, Shift+Tab back.
  struct Step {
    UINT key;
    bool shift;
    const ui::Control* focused;
  };
  const Step steps[] = {
      {VK_TAB, false, &form1.ListView1},      {VK_TAB, false, &form1.Button2},
      {VK_TAB, false, &form1.StartAllButton}, {VK_TAB, false, &form1.Button1},
      {VK_TAB, false, &form1.ComboBox1},      {VK_TAB, true, &form1.Button1},
      {VK_TAB, true, &form1.StartAllButton},
  };
  for (const Step& step : steps) {
    Press(step.key, step.shift);
    // Stops here: a key on another button could open the dialog with nothing to close it.
    ASSERT_EQ(Focused(controls), step.focused)
        << (step.shift ? "Shift+Tab to " : "Tab to ") << step.focused->Name();
  }
  Press(VK_RETURN);
  EXPECT_EQ(startAlls, 1) << "Enter presses the focused button";
  Press('S');
  EXPECT_EQ(starts, 1) << "Alt+S presses Start";
  Press('A');
  EXPECT_EQ(startAlls, 2) << "Alt+A presses Start all";
  EXPECT_EQ(Focused(controls), &form1.StartAllButton);

  // Alt+R opens the result dialog (Result's own handler) on its Close button, the default; Esc,
  // Enter, and Enter from the memo each close it, and the focus is back on Result.
  struct Closing {
    std::vector<UINT> keys;
    std::vector<const ui::Control*> between;  // the focus after each key but the last
    const char* what;
  };
  const Closing closings[] = {
      {{VK_ESCAPE}, {}, "Esc"},
      {{VK_RETURN}, {}, "Enter"},
      {{VK_TAB, VK_TAB, VK_RETURN},
       {&form2.Memo1, &form2.Button1},
       "Tab, Tab out of the memo, Enter"},
      {{VK_TAB, VK_ESCAPE}, {&form2.Memo1}, "Tab to the memo, Esc"},
      {{VK_TAB, VK_RETURN}, {&form2.Memo1}, "Tab to the memo, Enter"},
  };
  for (const Closing& closing : closings) {
    SCOPED_TRACE(closing.what);
    const ui::Control* openedOn = nullptr;
    std::vector<const ui::Control*> path;
    bool closedByKeys = false;
    OnceModal(form2, [&] {
      openedOn = Focused(controls);
      for (UINT key : closing.keys) {
        ::PostMessageA(::GetFocus(), WM_KEYDOWN, key, 1);
        ::PostMessageA(::GetFocus(), WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
        // Looked at after what the key's handling posts in turn (the memo passes Enter and Esc on
        // to the dialog as messages of their own).
        bool handled = false;
        toolkit_.Post([&] {
          toolkit_.Post([&] {
            if (form2.modalOpen) path.push_back(Focused(controls));
            handled = true;
          });
        });
        toolkit_.RunUntil([&] { return handled || !form2.modalOpen; });
        if (!form2.modalOpen) break;
      }
      closedByKeys = !form2.modalOpen;
      if (form2.modalOpen) form2.Button1.Click();  // the keys failed: the test goes on
    });
    Press('R');
    EXPECT_FALSE(form2.modalOpen);
    EXPECT_TRUE(closedByKeys);
    EXPECT_EQ(openedOn, &form2.Button1) << "the dialog opens on its default button";
    EXPECT_EQ(path, closing.between);
    Settle();
    EXPECT_EQ(Focused(controls), &form1.Button2) << "the focus came back to Result";
  }

  // A box of the window's own thread: the focus comes back to where it was.
  Press(VK_TAB);
  ASSERT_EQ(Focused(controls), &form1.StartAllButton);
  std::thread operatorThread([] {
    for (int look = 0; look < 500; ++look, ::Sleep(10)) {
      const std::vector<HWND> open = OpenBoxes();
      if (!open.empty()) {
        ::PostMessageA(open.front(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return;
      }
    }
  });
  toolkit_.MessageBox(&form1, "Cannot create file Test.log", "Veltrane", ui::kMbOk);
  operatorThread.join();
  Settle();
  EXPECT_EQ(Focused(controls), &form1.StartAllButton);
  // A button disabled under the focus (Start becoming "Testing...") hands it on.
  form1.StartAllButton.SetEnabled(false);
  EXPECT_EQ(Focused(controls), &form1.Button1);
  toolkit_.Unrealize(form2);
  toolkit_.Unrealize(form1);
}

BOOL CALLBACK NoteBox(HWND window, LPARAM found) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  char kind[16] = {};
  ::GetClassNameA(window, kind, sizeof kind);
  if (process == ::GetCurrentProcessId() && std::string(kind) == "#32770" &&
      ::IsWindowVisible(window)) {
    reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);  // NOLINT
  }
  return TRUE;
}

// The visible message boxes of this program.
std::vector<HWND> OpenBoxes() {
  std::vector<HWND> boxes;
  ::EnumWindows(NoteBox, reinterpret_cast<LPARAM>(&boxes));
  return boxes;
}

// Runs that ask at the same moment (a station's units): their boxes come one at a time, each
// owned by the main window and keeping it disabled while it is open, each answer goes to the run
// that asked, and the state dump shows each box with its caption, text and buttons.
TEST_F(Win32ToolkitTest, MessageBoxesOfSeveralWorkersComeOneAtATimeOwnedByTheMainWindow) {
  struct Ask {
    const char* caption;
    const char* text;
    unsigned flags;
    int answer;
    const char* button;
  };
  const Ask asks[] = {
      {"Error - TM36K (T1)", "Supply the loader mechanism with discs.",
       ui::kMbRetryCancel | ui::kMbIconWarning, IDRETRY, "Retry"},
      {"Information - LQ40 (L1)", "Supply the loading area with discs.",
       ui::kMbOkCancel | ui::kMbIconInformation, IDCANCEL, "Cancel"},
      {"Veltrane check", "Tray is not open", ui::kMbRetryCancel | ui::kMbIconError, IDCANCEL,
       "Cancel"},
  };
  constexpr std::size_t kAsks = std::size(asks);
  const std::string dump = EnableDump();
  TestForm form;
  toolkit_.Realize(form);
  toolkit_.Show(form);
  HWND mainWindow = toolkit_.WindowOf(&form);
  std::atomic<int> answers[kAsks] = {};
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (std::size_t i = 0; i < kAsks; ++i) {
    workers.emplace_back([&, i] {
      answers[i] = ui::TheToolkit().MessageBox(&form, asks[i].text, asks[i].caption, asks[i].flags);
      ++finished;
    });
  }
  std::vector<std::string> seen;  // what the operator found, box by box
  bool severalAtOnce = false;
  std::thread operatorThread([&] {
    for (int look = 0; look < 1000 && seen.size() < kAsks; ++look) {
      ::Sleep(20);
      const std::vector<HWND> open = OpenBoxes();
      severalAtOnce = severalAtOnce || open.size() > 1;
      if (open.empty()) continue;
      HWND box = open.front();
      char caption[128] = {};
      ::GetWindowTextA(box, caption, sizeof caption);
      const Ask* ask = nullptr;
      for (const Ask& a : asks) ask = caption == std::string(a.caption) ? &a : ask;
      if (ask == nullptr) continue;
      std::string what = caption;
      if (::GetWindow(box, GW_OWNER) != mainWindow) what += ", not owned by the main window";
      if (::IsWindowEnabled(mainWindow)) what += ", main window enabled";
      // The dump is written on the GUI thread's next tick: up to 2 s.
      const std::string line = std::string("Box\ttext=") + caption + "\t";
      const std::string button = std::string("Box.") + ask->button + "\t";
      const std::string message = std::string("Box.Text\ttext=") + ask->text + "\t";
      std::string state;
      for (int i = 0; i < 100; ++i, ::Sleep(20)) {
        state = ReadFile(dump);
        if (state.find(line) != std::string::npos) break;
      }
      if (state.find(line) == std::string::npos || state.find(button) == std::string::npos ||
          state.find(message) == std::string::npos) {
        what += ", not in the state dump";
      }
      seen.push_back(what);
      ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(ask->answer, BN_CLICKED), 0);
      for (int i = 0; i < 250 && ::IsWindow(box); ++i) ::Sleep(20);
    }
    // A box the operator could not take is cancelled, so that the test ends (and fails).
    for (int i = 0; i < 50 && finished.load() < static_cast<int>(kAsks); ++i, ::Sleep(20)) {
      for (HWND box : OpenBoxes()) ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    }
  });
  // The GUI thread keeps its loop running meanwhile: the boxes talk to their owner window.
  toolkit_.RunUntil([&] { return finished.load() == static_cast<int>(kAsks); });
  for (std::thread& worker : workers) worker.join();
  operatorThread.join();
  std::vector<std::string> expected;
  for (const Ask& ask : asks) expected.emplace_back(ask.caption);
  std::sort(seen.begin(), seen.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(severalAtOnce);
  for (std::size_t i = 0; i < kAsks; ++i) EXPECT_EQ(answers[i].load(), asks[i].answer) << i;
  EXPECT_TRUE(::IsWindowEnabled(mainWindow));
  toolkit_.Unrealize(form);
}

// The window's own box ("Cannot create file Test.log") open when a run's prompt comes to the GUI
// thread (its invoke runs inside that box's loop): the prompt is owned by the open box and keeps
// it disabled, so only one box can be answered at a time, and answering the prompt leaves the
// main window disabled under the box still open.
TEST_F(Win32ToolkitTest,
       BoxesOfTheGuiThreadAreAnsweredOneAtATimeTheMainWindowDisabledUntilTheLast) {
  TestForm form;
  toolkit_.Realize(form);
  toolkit_.Show(form);
  HWND mainWindow = toolkit_.WindowOf(&form);
  std::vector<std::string> seen;
  int promptAnswer = 0;
  auto find = [](const char* caption) {
    for (int look = 0; look < 500; ++look, ::Sleep(10)) {
      for (HWND box : OpenBoxes()) {
        char text[64] = {};
        ::GetWindowTextA(box, text, sizeof text);
        if (caption == std::string(text)) return box;
      }
    }
    return HWND{};
  };
  std::thread operatorThread([&] {
    HWND own = find("Veltrane");
    toolkit_.Post([&] {
      promptAnswer = toolkit_.MessageBox(&form, "Supply the loading area with discs.",
                                         "Information - LQ40 (L1)", ui::kMbOkCancel);
    });
    HWND prompt = find("Information - LQ40 (L1)");
    if (own == nullptr || prompt == nullptr) {
      seen.emplace_back("a box did not open");
    } else {
      if (::GetWindow(prompt, GW_OWNER) != own) seen.emplace_back("prompt not owned by the box");
      if (::IsWindowEnabled(own)) seen.emplace_back("the box under the prompt can be answered");
      ::PostMessageA(prompt, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      for (int i = 0; i < 250 && ::IsWindow(prompt); ++i) ::Sleep(10);
      if (::IsWindowEnabled(mainWindow)) seen.emplace_back("main window enabled under a box");
    }
    for (HWND box : OpenBoxes()) ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  });
  toolkit_.MessageBox(&form, "Cannot create file Test.log", "Veltrane",
                      ui::kMbOk | ui::kMbIconError);
  operatorThread.join();
  EXPECT_EQ(seen, std::vector<std::string>{});
  EXPECT_EQ(promptAnswer, ui::kIdOk);
  EXPECT_TRUE(::IsWindowEnabled(mainWindow));
  toolkit_.Unrealize(form);
}

// A run asks while the operator looks at a result dialog: the box is owned by the dialog, which
// stays disabled under it, so the box cannot go behind it; the dialog closes as usual after.
TEST_F(Win32ToolkitTest, MessageBoxWhileTheResultDialogIsOpenIsOwnedByTheDialog) {
  TForm1 form1;
  TForm2 form2;
  toolkit_.Realize(form1);
  toolkit_.Realize(form2);
  toolkit_.Show(form1);
  HWND dialog = toolkit_.WindowOf(&form2);
  int answer = 0;
  HWND owner = nullptr;
  bool dialogEnabledMeanwhile = true;
  toolkit_.Post([&] {
    std::thread operatorThread([&] {
      HWND box = nullptr;
      for (int look = 0; look < 500 && box == nullptr; ++look, ::Sleep(20)) {
        const std::vector<HWND> open = OpenBoxes();
        box = open.empty() ? nullptr : open.front();
      }
      owner = box != nullptr ? ::GetWindow(box, GW_OWNER) : nullptr;
      dialogEnabledMeanwhile = ::IsWindowEnabled(dialog) != FALSE;
      if (box != nullptr) ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    // As the console shows a run's box: on the GUI thread, owned by the main window.
    answer =
        toolkit_.MessageBox(&form1, "Supply the loading area with discs.",
                            "Information - LQ40 (L1)", ui::kMbOkCancel | ui::kMbIconInformation);
    operatorThread.join();
    form2.Button1.Click();  // "Close"
  });
  toolkit_.ShowModal(form2);
  EXPECT_EQ(answer, ui::kIdOk);
  EXPECT_EQ(owner, dialog);
  EXPECT_FALSE(dialogEnabledMeanwhile);
  EXPECT_TRUE(::IsWindowEnabled(toolkit_.WindowOf(&form1)));
  toolkit_.Unrealize(form2);
  toolkit_.Unrealize(form1);
}

// The power and shutdown calls as they reach the system through the backend's table.
std::vector<std::string> sessionCalls;
HWND blockingWindow = nullptr;
EXECUTION_STATE WINAPI RecordExecutionState(EXECUTION_STATE flags) {
  char call[48];
  std::snprintf(call, sizeof call, "SetThreadExecutionState(0x%08lX)",
                static_cast<unsigned long>(flags));
  sessionCalls.emplace_back(call);
  return ES_CONTINUOUS;
}
BOOL WINAPI RecordBlockReason(HWND window, LPCWSTR reason) {
  blockingWindow = window;
  std::string text;
  for (; reason != nullptr && *reason != 0; ++reason) {
    text += *reason < 0x80 ? static_cast<char>(*reason) : '?';
  }
  sessionCalls.push_back("ShutdownBlockReasonCreate(" + text + ")");
  return TRUE;
}
BOOL WINAPI RecordBlockEnd(HWND window) {
  sessionCalls.emplace_back(window == blockingWindow ? "ShutdownBlockReasonDestroy"
                                                     : "ShutdownBlockReasonDestroy(other)");
  return TRUE;
}

// The simulated bench for everything but the power and shutdown calls: those are the Win32
// backend's, whose window is the toolkit's.
class SessionCallsOnWin32 : public platform::sim::SimPlatform {
 public:
  explicit SessionCallsOnWin32(platform::win32::Win32Platform& os)
      : SimPlatform(Options()), os_(os) {}
  std::uint32_t SetThreadExecutionState(std::uint32_t flags) override {
    return os_.SetThreadExecutionState(flags);
  }
  bool ShutdownBlockReasonCreate(platform::Handle window, const char* reason) override {
    return os_.ShutdownBlockReasonCreate(window, reason);
  }
  bool ShutdownBlockReasonDestroy(platform::Handle window) override {
    return os_.ShutdownBlockReasonDestroy(window);
  }

 private:
  static platform::sim::SimOptions Options() {
    platform::sim::SimOptions options;
    options.clockMode = platform::sim::SimClock::Mode::kReal;
    options.hostFacts = false;
    return options;
  }
  platform::win32::Win32Platform& os_;
};

// A logoff or shutdown while a run goes: the main window asks the session to wait, with its
// reason given to ShutdownBlockReasonCreate on its own window, and the system is kept awake; the
// result dialog's window lets the session end. A session that goes on changes nothing; one that
// ends all the same cuts the run inside WM_ENDSESSION, its record and log written before the
// answer, and gives both back.
TEST_F(Win32ToolkitTest, SessionEndWaitsForARunWithItsReasonAndCutsTheRunWhenItEndsAnyway) {
  char temp[MAX_PATH] = {};
  ::GetTempPathA(sizeof temp, temp);
  const std::filesystem::path folder =
      std::filesystem::path(temp) / ("veltrane-session-" + std::to_string(::GetCurrentProcessId()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path oldDir = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  platform::win32::Win32Platform win32;
  win32.SetWindowResolver([this](platform::Handle recipient) -> void* {
    return toolkit_.WindowOf(reinterpret_cast<const ui::Control*>(recipient));
  });
  SessionCallsOnWin32 os(win32);
  platform::SetPlatform(&os);
  sessionCalls.clear();
  platform::win32::Calls().SetThreadExecutionState = &RecordExecutionState;
  platform::win32::Calls().ShutdownBlockReasonCreate = &RecordBlockReason;
  platform::win32::Calls().ShutdownBlockReasonDestroy = &RecordBlockEnd;
  SetWorkerFactory([](WorkerClass, std::unique_ptr<RunContext> run) {
    std::map<int, ScriptedWorker::Handler> handlers = {{0, [](ScriptedWorker&) {}}};
    auto worker = std::make_unique<ScriptedWorker>(std::move(run), handlers);
    worker->Start();
    return std::unique_ptr<SequenceWorker>(std::move(worker));
  });
  {
    TForm1 form1;
    TForm2 form2;
    toolkit_.Realize(form1);
    form1.FormCreate();
    toolkit_.Realize(form2);
    DeviceList.push_back(MakeEntry("HV22", "VID_1723&PID_0923"));
    form1.RefreshDeviceCombo();
    HWND mainWindow = toolkit_.WindowOf(&form1);
    HWND dialog = toolkit_.WindowOf(&form2);
    EXPECT_EQ(::SendMessageA(mainWindow, WM_QUERYENDSESSION, 0, 0), TRUE) << "nothing under way";
    form1.Button1Click();
    EXPECT_EQ(form1.RunsUnderWay(), 1);
    EXPECT_EQ(blockingWindow, mainWindow);
    EXPECT_EQ(::SendMessageA(mainWindow, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
    EXPECT_EQ(::SendMessageA(dialog, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    EXPECT_EQ(::SendMessageA(mainWindow, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF), 0);
    EXPECT_EQ(form1.RunsUnderWay(), 1) << "the session went on, and so does the run";
    EXPECT_FALSE(std::filesystem::exists(kLogFileName));
    EXPECT_EQ(::SendMessageA(mainWindow, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF), 0);
    EXPECT_EQ(form1.RunsUnderWay(), 0);
    EXPECT_TRUE(std::filesystem::exists(kLogFileName));
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(kRecordFolder) / kHistoryFile));
    EXPECT_EQ(LastRunRecord().result, "Error");
    EXPECT_EQ(::SendMessageA(mainWindow, WM_QUERYENDSESSION, 0, 0), TRUE);
    EXPECT_EQ(sessionCalls,
              (std::vector<std::string>{
                  std::string("ShutdownBlockReasonCreate(") + kRunsUnderWayReason + ")",
                  "SetThreadExecutionState(0x80000001)", "ShutdownBlockReasonDestroy",
                  "SetThreadExecutionState(0x80000000)"}));
    form1.FormClose();
    toolkit_.Unrealize(form2);
    toolkit_.Unrealize(form1);
  }
  SetWorkerFactory(nullptr);
  platform::win32::RestoreCalls();
  platform::SetPlatform(nullptr);
  std::filesystem::current_path(oldDir);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

}  // namespace
