// The main window: device combo, model table, step list, run control and device changes.
#include "console/Unit1.h"

#include <cstdio>
#include <cstring>

#include "console/Unit2.h"
#include "device/Device.h"
#include "device/Discovery.h"
#include "device/Drives.h"
#include "report/RunRecord.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "sequences/Runner.h"
#include "ui/Toolkit.h"

int RequestedIndex = 0;
int ShownPicture = -1;
std::string ApplicationTitle;
TForm1* Form1 = nullptr;

namespace {

constexpr int kControlFont = 13;
constexpr int kWindowFont = 11;
constexpr const char* kNoDevices = "[No devices found]";

}  // namespace

bool CanStart(const DeviceEntry* entry) {
  if (entry == nullptr) return false;
  const ModelRow* row = MatchModelRow(*entry);
  return row != nullptr && WorkerAvailable(row->worker);
}

const ModelRow* MatchModelRow(const DeviceEntry& entry) {
  return models::MatchModel(entry.ModelName, entry.VidPid());
}

TForm1::TForm1()
    : ui::Form("Form1", 563, 389),
      Panel1(this, "Panel1", {0, 8, 561, 337}),
      Label1(&Panel1, "Label1", {16, 8, 0, 0}),
      Label2(&Panel1, "Label2", {288, 8, 0, 0}),
      ComboBox1(this, "ComboBox1", {16, 40, 250, 0}),
      Image1(&Panel1, "Image1", {16, 71, 250, 250}),
      Image2(&Panel1, "Image2", {16, 71, 250, 250}),
      Image3(&Panel1, "Image3", {16, 71, 250, 250}),
      Image4(&Panel1, "Image4", {16, 71, 250, 250}),
      Image5(&Panel1, "Image5", {16, 71, 250, 250}),
      ListView1(this, "ListView1", {288, 36, 257, 300}),
      Button1(this, "Button1", {448, 356, 97, 25}),
      Button2(this, "Button2", {16, 356, 97, 25}),
      Timer1(this, "Timer1", 5) {
  SetCaption("Veltrane");
  SetFont({"MS Sans Serif", kWindowFont});
  for (ui::Control* c : Children()) c->SetFont({"MS Sans Serif", kControlFont});
  for (ui::Control* c : Panel1.Children()) c->SetFont({"MS Sans Serif", kControlFont});
  Label1.SetCaption("Device:");
  Label2.SetCaption("Test Item List:");
  for (int i = 0; i < 5; ++i) Picture(i)->SetVisible(false);
  ListView1.smallImages = &ImageList1;
  ComboBox1.onChange = [this] { ComboBox1Change(); };
  Button1.SetCaption("Start");
  Button1.onClick = [this] { Button1Click(); };
  Button2.SetCaption("Result");
  Button2.SetEnabled(false);
  Button2.onClick = [this] { Button2Click(); };
  Timer1.SetEnabled(false);
  Timer1.onTimer = [this] { Timer1Timer(); };
  onHandleQueryRemove = [](std::intptr_t handle) { ReleaseDeviceHandle(handle); };
  onHandleRemoveEnded = [](bool refused, std::intptr_t handle, std::intptr_t notification) {
    EndHandleRemoval(refused, handle, notification);
  };
  // One main window per program: its creation is the program's start.
  RequestedIndex = 0;
  ShownPicture = -1;
  Form1 = this;
}

TForm1::~TForm1() {
  if (created_) FormClose();
  if (Form1 == this) Form1 = nullptr;
}

ui::Image* TForm1::Picture(int index) {
  ui::Image* pictures[] = {&Image1, &Image2, &Image3, &Image4, &Image5};
  return index >= 0 && index < 5 ? pictures[index] : nullptr;
}

void TForm1::FormCreate() {
  ApplicationTitle = Caption();
  closing_ = false;
  // The start-up scan may talk to an autoloader (the tray-sensor association pauses and logs),
  // so the pause event and the log exist before it.
  if (PauseEvent == platform::kInvalidHandle) {
    PauseEvent = platform::ThePlatform().CreateEventA(false, false);
  }
  if (!LogLinesExist()) CreateLogLines();
  created_ = true;
  ScanUsbDevices(ui::WindowHandle(*this));
  BuildDeviceList();
  RefreshDeviceCombo();
  ListView1.AddColumn(ListView1.ClientWidth());
}

void TForm1::ComboBox1Change() {
  RequestedIndex = ComboBox1.ItemIndex();
  RefreshDeviceCombo();
}

void TForm1::RefreshDeviceCombo() {
  int newPicture = -1;
  ComboBox1.Clear();
  if (DeviceList.empty()) {
    ComboBox1.AddItem(kNoDevices);
    ComboBox1.SetItemIndex(0);
    Button1.SetEnabled(false);
    ListView1.Clear();
  } else {
    for (int i = 0; i < static_cast<int>(DeviceList.size()); ++i) {
      DeviceEntry* entry = DeviceList[static_cast<std::size_t>(i)].get();
      char item[300];
      std::snprintf(item, sizeof item, "[%01d] %s", i, entry->ModelName.c_str());
      ComboBox1.AddItem(item);
      const bool isSelected = SelectedDevice != nullptr && entry == SelectedDevice;
      if (!isSelected && i != RequestedIndex) continue;
      if (RequestedIndex == i) {
        ComboBox1.SetItemIndex(i);
        RequestedIndex = -1;
        if (isSelected) {
          newPicture = ShownPicture;
        } else {
          SelectedDevice = entry;
          ListView1.Clear();
          if (const ModelRow* row = MatchModelRow(*entry)) {
            LoadStepList(ListView1, row->stepList);
            Picture(row->picture)->SetVisible(true);
            newPicture = row->picture;
          }
        }
        Button1.SetEnabled(newPicture != -1 && CanStart(SelectedDevice));
      } else if (isSelected && RequestedIndex == -1) {
        ComboBox1.SetItemIndex(i);
        newPicture = ShownPicture;
      }
    }
  }
  if (newPicture != ShownPicture) {
    if (ui::Image* shown = Picture(ShownPicture)) shown->SetVisible(false);
    ShownPicture = newPicture;
  }
  // A run keeps Start disabled whatever the refresh selected.
  if (running_) Button1.SetEnabled(false);
}

void TForm1::Button1Click() {
  if (SelectedDevice == nullptr || running_) return;
  // Start is disabled for an entry no worker can test; a stray click does nothing.
  if (!CanStart(SelectedDevice)) return;
  const ModelRow* row = MatchModelRow(*SelectedDevice);
  running_ = true;
  Button1.SetCaption("Testing...");
  Button1.SetEnabled(false);
  Button2.SetEnabled(false);
  ComboBox1.SetEnabled(false);
  // Every run starts from a state of its own: no flag of the last run reaches it. Everything the
  // run writes (rows, result lines, record, command logging) lives in its RunContext.
  const platform::LocalTime started = platform::ThePlatform().GetLocalTime();
  runEntry_ = SelectedDevice;
  const std::string item = ComboBox1.Text();
  auto newRun = [&] {
    auto run = std::make_unique<RunContext>(runEntry_, PauseEvent, this);
    run->RunStartTime = started;
    BeginRunRows(*run, ListView1);
    return run;
  };
  std::unique_ptr<RunContext> run = newRun();
  BeginRunRecord(*run, *runEntry_, item);
  WriteHostReport();
  LogUsb3Topology();
  for (int i = 0; i < ListView1.Count(); ++i) ListView1.SetImageIndex(i, kIconNone);
  runEntryLeft_ = false;
  if (Form2 != nullptr) {
    Form2->Memo1.Clear();
    run->ResultView = &Form2->Memo1;
  }
  lastRun_.reset();
  worker_ = CreateSequenceWorker(row->worker, std::move(run));
  if (!worker_) {
    // No worker for this family: the run ends at once, with its rows unmarked.
    lastRun_ = newRun();
    BeginRunRecord(*lastRun_, *runEntry_, item);
    Timer1.SetEnabled(true);
  }
}

RunContext* TForm1::OwnRun() {
  return worker_ ? &worker_->Run() : lastRun_.get();
}

const RunContext* TForm1::CurrentRun() const {
  return worker_ ? &worker_->Run() : lastRun_.get();
}

const char* TForm1::RunResultWord() const {
  // A unit that left took its list with it: whatever the combo shows now is not this run's.
  if (runEntryLeft_) return "None";
  const RunContext* run = CurrentRun();
  return run == nullptr ? "None" : ResultWordOf(run->Rows);
}

void TForm1::Button2Click() {
  if (Form2 != nullptr) ui::TheToolkit().ShowModal(*Form2);
}

void TForm1::Timer1Timer() {
  if (!closing_) FinishRun();
}

void TForm1::EnableTimer1() {
  ui::TheToolkit().Invoke([this] { Timer1.SetEnabled(true); });
}

int TForm1::Prompt(RunContext& /*run*/, const std::string& text, const char* caption,
                   unsigned flags) {
  // The box belongs to the GUI thread: a box of the worker's own would tie the two threads'
  // input together and freeze while the window is busy.
  int answer = 0;
  const std::string title = caption != nullptr ? caption : "";
  ui::TheToolkit().Invoke([&] { answer = ui::TheToolkit().MessageBox(this, text, title, flags); });
  return answer;
}

void TForm1::EndWorker() {
  if (worker_) {
    worker_->Join();
    lastRun_ = worker_->ReleaseRun();
    worker_.reset();
  }
  // Pipes of a departed link are closed only now: the worker may have been reading them.
  if (droppedEntry_) {
    droppedEntry_.reset();
  } else if (runEntry_ != nullptr) {
    if (runEntry_->Link1Flag.load() != kFlagOpen) {
      CloseDeviceHandle(runEntry_->Link1Read);
      CloseDeviceHandle(runEntry_->Link1Write);
    }
    if (runEntry_->Link2Flag.load() != kFlagOpen) {
      CloseDeviceHandle(runEntry_->Link2Read);
      CloseDeviceHandle(runEntry_->Link2Write);
    }
  }
  runEntry_ = nullptr;
  running_ = false;
}

void TForm1::FinishRun() {
  Timer1.SetEnabled(false);
  EndWorker();
  Button1.SetCaption("Start");
  Button1.SetEnabled(CanStart(SelectedDevice));
  Button2.SetEnabled(true);
  ComboBox1.SetEnabled(true);
  if (Form2 == nullptr) return;
  // The dialog and the record are built from the run that ended, not from each other.
  if (!lastRun_) lastRun_ = std::make_unique<RunContext>(runEntry_, PauseEvent, this);
  RunContext& run = *lastRun_;
  const std::string result = RunResultWord();
  run.RunEndTime = platform::ThePlatform().GetLocalTime();
  Form2->SetCaption("Test Report");
  Form2->Label2.SetCaption(result);
  Form2->Label4.SetCaption(FormatDateTime(run.RunStartTime));
  Form2->Label6.SetCaption(FormatDateTime(run.RunEndTime));
  // The memo followed the run line by line; it is filled afresh only if it did not.
  if (Form2->Memo1.Lines() != run.ResultLines) Form2->ShowResultLines(run.ResultLines);
  run.ResultView = nullptr;
  KeepRunRecord(run, result);
  if (!SaveLogLines(kLogFileName)) {
    const std::string message = std::string("Cannot create file ") + kLogFileName;
    ui::TheToolkit().MessageBox(this, message, ApplicationTitle, ui::kMbOk | ui::kMbIconError);
    return;
  }
  Button2.Click();
}

long TForm1::Dispatch(unsigned message, unsigned long wParam, long lParam) {
  if (message == ui::kWmDeviceChange) return OnDeviceChange(wParam);
  return ui::Form::Dispatch(message, wParam, lParam);
}

long TForm1::OnDeviceChange(unsigned long eventCode) {
  if (eventCode == ui::kDbtDeviceArrival) {
    ScanUsbDevices(ui::WindowHandle(*this));
    RebuildDeviceList();
    return 1;
  }
  if (eventCode == ui::kDbtDeviceRemoveComplete) {
    DropDepartedPorts();
    DropDepartedAssociations();
    if (PruneDepartedDevices()) RefreshDeviceCombo();
    // A TM36 that counted more than one printer or HV22 gave up its claim on them; once the
    // operator has unplugged the extra one, its own must be counted and claimed again, or
    // Retry at "Support one printer only" would fail for ever.
    if (CountsSeveralParts()) RebuildDeviceList();
    return 1;
  }
  return ui::Form::Dispatch(ui::kWmDeviceChange, eventCode, 0);
}

void TForm1::RebuildDeviceList() {
  if (BuildDeviceList()) RefreshDeviceCombo();
}

bool TForm1::CountsSeveralParts() const {
  for (const auto& entry : DeviceList) {
    if (entry->PrinterCount.load() > 1 || entry->HvCount.load() > 1) return true;
  }
  return false;
}

bool TForm1::PruneDepartedDevices() {
  bool removed = false;
  for (std::size_t i = 0; i < DeviceList.size();) {
    DeviceEntry& entry = *DeviceList[i];
    // The running worker may be inside a read on these pipes: its flag stops it within one
    // pause, and its handles are closed when the run ends.
    const bool inUse = running_ && &entry == runEntry_;
    if (!entry.ApplyDepartures(inUse)) {
      ++i;
      continue;
    }
    if (&entry == SelectedDevice) {
      SelectedDevice = nullptr;
      RequestedIndex = 0;
    }
    std::unique_ptr<DeviceEntry> owned = std::move(DeviceList[i]);
    DeviceList.erase(DeviceList.begin() + static_cast<std::ptrdiff_t>(i));
    if (inUse) {
      droppedEntry_ = std::move(owned);  // freed when the run has ended
      runEntryLeft_ = true;
      if (RunContext* run = OwnRun()) SeparateRunFromView(*run);
    }
    removed = true;
  }
  return removed;
}

void TForm1::FormClose() {
  if (!created_) return;
  created_ = false;
  // The worker uses the device list, the log and the pause event: stop it before any goes.
  // Its last act enables Timer1; the window is closing, so that tick must not end the run.
  closing_ = true;
  if (worker_) {
    worker_->RequestStop();
    SequenceWorker* worker = worker_.get();
    ui::TheToolkit().RunUntil([worker] { return worker->Finished(); });
  }
  Timer1.SetEnabled(false);
  EndWorker();
  CloseAllDevices();
  ReleaseLogLines();
  SelectedDevice = nullptr;
  DeviceList.clear();  // each entry closes its open pipes as it is freed
  if (PauseEvent != platform::kInvalidHandle) {
    platform::ThePlatform().CloseHandle(PauseEvent);
    PauseEvent = platform::kInvalidHandle;
  }
}
