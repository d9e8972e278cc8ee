// The main window: device combo, model table, step list, run control and device changes.
#include "console/Unit1.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "console/Unit2.h"
#include "device/Device.h"
#include "device/Discovery.h"
#include "device/Drives.h"
#include "models/ModelCatalogue.h"
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

namespace {

// The window's layout with one unit; a station widens it (LayOutForUnits).
constexpr ui::Rect kFormBounds{0, 0, 563, 389};
constexpr ui::Rect kPanelBounds{0, 8, 561, 337};
constexpr ui::Rect kListLabelBounds{288, 8, 0, 0};
constexpr ui::Rect kComboBounds{16, 40, 250, 0};
constexpr ui::Rect kListBounds{288, 36, 257, 300};
constexpr ui::Rect kStartBounds{448, 356, 97, 25};
constexpr ui::Rect kStartAllBounds{344, 356, 97, 25};
// Beside an item's text the closed box shows its edge, the edit's margins and the drop-down
// button.
constexpr int kComboChrome = 30;
// The longest state an item takes while its unit runs.
constexpr const char* kWidestState = " - running, row 88 of 88";

ui::Rect Widened(ui::Rect bounds, int extra) {
  bounds.width += extra;
  return bounds;
}

ui::Rect Moved(ui::Rect bounds, int extra) {
  bounds.left += extra;
  return bounds;
}

}  // namespace

TForm1::TForm1()
    : ui::Form("Form1", kFormBounds.width, kFormBounds.height),
      Panel1(this, "Panel1", kPanelBounds),
      Label1(&Panel1, "Label1", {16, 8, 0, 0}),
      Label2(&Panel1, "Label2", kListLabelBounds),
      ComboBox1(this, "ComboBox1", kComboBounds),
      Image1(&Panel1, "Image1", {16, 71, 250, 250}),
      Image2(&Panel1, "Image2", {16, 71, 250, 250}),
      Image3(&Panel1, "Image3", {16, 71, 250, 250}),
      Image4(&Panel1, "Image4", {16, 71, 250, 250}),
      Image5(&Panel1, "Image5", {16, 71, 250, 250}),
      ListView1(this, "ListView1", kListBounds),
      Button1(this, "Button1", kStartBounds),
      Button2(this, "Button2", {16, 356, 97, 25}),
      StartAllButton(this, "StartAllButton", kStartAllBounds),
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
  // Start all is there for a station of several units only.
  StartAllButton.SetCaption("Start all");
  StartAllButton.SetVisible(false);
  StartAllButton.onClick = [this] { StartAllClick(); };
  Timer1.SetEnabled(false);
  Timer1.onTimer = [this] { Timer1Timer(); };
  onHandleQueryRemove = [](std::intptr_t handle) { return ReleaseDeviceHandle(handle); };
  onHandleRemoveEnded = [this](bool refused, std::intptr_t handle, std::intptr_t notification) {
    if (EndHandleRemoval(refused, handle, notification) || refused) return;
    // No query came first: the device was pulled out. Its handle is closed now, not when its
    // run ends, and the unit leaves as a unit does that the removal scan finds gone.
    if (CloseRemovedHandle(handle, notification, DepartedDuringRuns())) {
      OnDeviceChange(ui::kDbtDeviceRemoveComplete);
    }
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

const ui::Image* TForm1::Picture(int index) const {
  const ui::Image* pictures[] = {&Image1, &Image2, &Image3, &Image4, &Image5};
  static_assert(std::size(pictures) == models::PictureCount(),
                "one picture control for each picture the model catalogue names");
  return index >= 0 && index < models::PictureCount() ? pictures[index] : nullptr;
}

ui::Image* TForm1::Picture(int index) {
  return const_cast<ui::Image*>(std::as_const(*this).Picture(index));
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
  BuildDeviceList(discovery_);
  RefreshDeviceCombo();
  ListView1.AddColumn(ListView1.ClientWidth());
}

void TForm1::ComboBox1Change() {
  RequestedIndex = ComboBox1.ItemIndex();
  RefreshDeviceCombo();
}

void TForm1::RefreshDeviceCombo() {
  // Whether the station's lines belong to a lone run depends on how many units there are.
  SetLogStationUnits(DeviceList.size());
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
      ComboBox1.AddItem(ComboItemText(i));
      const bool isSelected = SelectedDevice != nullptr && entry == SelectedDevice;
      if (!isSelected && i != RequestedIndex) continue;
      if (RequestedIndex == i) {
        ComboBox1.SetItemIndex(i);
        RequestedIndex = -1;
        if (isSelected) {
          newPicture = ShownPicture;
        } else {
          SelectedDevice = entry;
          ShowRunInView(nullptr);
          ListView1.Clear();
          if (const ModelRow* row = MatchModelRow(*entry)) {
            for (const std::string& step : LoadStepList(row->stepList)) {
              ListView1.AddItem(step, kIconNone);
            }
            Picture(row->picture)->SetVisible(true);
            newPicture = row->picture;
          }
          // A unit that has run shows its own run's rows and marks, live while it runs.
          if (UnitRun* socket = SocketOf(entry)) ShowRunInView(socket->Run());
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
  LayOutForUnits();
  UpdateControls();
}

std::string TForm1::BaseItemText(int index) const {
  if (index < 0 || index >= static_cast<int>(DeviceList.size())) return {};
  char item[300];
  std::snprintf(item, sizeof item, "[%01d] %s", index,
                DeviceList[static_cast<std::size_t>(index)]->ModelName.c_str());
  return item;
}

std::vector<std::string> TForm1::ItemNames() const {
  if (DeviceList.empty()) return ComboBox1.Items();
  std::vector<std::string> names;
  names.reserve(DeviceList.size());
  for (int i = 0; i < static_cast<int>(DeviceList.size()); ++i) names.push_back(BaseItemText(i));
  return names;
}

std::string TForm1::ComboItemText(int index) const {
  std::string text = BaseItemText(index);
  // A unit alone shows as it always has; on a station each item says where its unit stands.
  if (DeviceList.size() <= 1) return text;
  const UnitRun* socket = SocketOf(DeviceList[static_cast<std::size_t>(index)].get());
  if (socket == nullptr || (!socket->running && !socket->hasDialog)) return text + " - idle";
  if (!socket->running) return text + " - " + socket->dialog.result;
  const RunContext* run = socket->Run();
  const int rows = run != nullptr ? static_cast<int>(run->Rows.size()) : 0;
  const int row = run != nullptr ? std::max(1, run->CurrentRow.load() + 1) : 1;
  return text + " - running, row " + std::to_string(std::min(row, std::max(rows, 1))) + " of " +
         std::to_string(rows);
}

void TForm1::LayOutForUnits() {
  int extra = 0;
  if (DeviceList.size() > 1) {
    ui::Toolkit& toolkit = ui::TheToolkit();
    const ui::Font& font = ComboBox1.GetFont();
    int needed = 0;
    for (int i = 0; i < static_cast<int>(DeviceList.size()); ++i) {
      needed = std::max({needed, toolkit.TextWidth(font, ComboItemText(i)),
                         toolkit.TextWidth(font, BaseItemText(i) + kWidestState)});
    }
    extra = std::max(0, needed + kComboChrome - kComboBounds.width);
  }
  SetBounds(Widened(kFormBounds, extra));
  Panel1.SetBounds(Widened(kPanelBounds, extra));
  ComboBox1.SetBounds(Widened(kComboBounds, extra));
  Label2.SetBounds(Moved(kListLabelBounds, extra));
  ListView1.SetBounds(Moved(kListBounds, extra));
  Button1.SetBounds(Moved(kStartBounds, extra));
  StartAllButton.SetBounds(Moved(kStartAllBounds, extra));
}

void TForm1::ShowUnitStates() {
  if (DeviceList.empty() || ComboBox1.ItemIndex() < 0) return;
  std::vector<std::string> texts;
  texts.reserve(DeviceList.size());
  for (int i = 0; i < static_cast<int>(DeviceList.size()); ++i) texts.push_back(ComboItemText(i));
  if (texts == ComboBox1.Items()) return;
  const int index = ComboBox1.ItemIndex();
  ComboBox1.Clear();
  for (const std::string& text : texts) ComboBox1.AddItem(text);
  ComboBox1.SetItemIndex(index);
  LayOutForUnits();
}

void TForm1::ShowRunInView(RunContext* run) {
  viewRun_ = run;
  if (run != nullptr) DrawRun(*run);
}

void TForm1::DrawRun(const RunContext& run) {
  // The list loaded from the step list holds the same rows; the marks are the run's.
  if (ListView1.Count() != static_cast<int>(run.Rows.size())) {
    ListView1.Clear();
    for (const RunRow& row : run.Rows) ListView1.AddItem(row.caption, row.icon);
    return;
  }
  for (int i = 0; i < ListView1.Count(); ++i) {
    const int icon = run.Rows[static_cast<std::size_t>(i)].icon;
    if (ListView1.Items()[static_cast<std::size_t>(i)].imageIndex != icon) {
      ListView1.SetImageIndex(i, icon);
    }
  }
}

UnitRun* TForm1::SocketOf(const DeviceEntry* entry) {
  if (entry == nullptr) return nullptr;
  for (const auto& socket : sockets_) {
    if (socket->entry == entry) return socket.get();
  }
  return nullptr;
}

const UnitRun* TForm1::SocketOf(const DeviceEntry* entry) const {
  return const_cast<TForm1*>(this)->SocketOf(entry);
}

UnitRun& TForm1::NewSocket(DeviceEntry* entry) {
  if (UnitRun* socket = SocketOf(entry)) return *socket;
  sockets_.push_back(std::make_unique<UnitRun>());
  sockets_.back()->entry = entry;
  return *sockets_.back();
}

UnitRun* TForm1::SelectedSocket() {
  return SocketOf(SelectedDevice);
}

const UnitRun* TForm1::SelectedSocket() const {
  return SocketOf(SelectedDevice);
}

const UnitRun* TForm1::CurrentSocket() const {
  const UnitRun* selected = SelectedSocket();
  if (selected != nullptr && selected->Run() != nullptr) return selected;
  if (latest_ != nullptr) return latest_;
  // Closed before any run finished: the last run started.
  for (auto it = sockets_.rbegin(); it != sockets_.rend(); ++it) {
    if ((*it)->Run() != nullptr) return it->get();
  }
  return nullptr;
}

int TForm1::IdleUnits() const {
  int idle = 0;
  for (const auto& entry : DeviceList) {
    const UnitRun* socket = SocketOf(entry.get());
    idle +=
        (socket == nullptr || (!socket->running && !socket->cut)) && CanStart(entry.get()) ? 1 : 0;
  }
  return idle;
}

bool TForm1::LooksAlike(const DeviceEntry& entry) const {
  const std::string serial = SerialOf(entry);
  if (serial.empty()) return true;
  for (const auto& other : DeviceList) {
    if (other.get() != &entry && SerialOf(*other) == serial) return true;
  }
  return false;
}

UnitRun* TForm1::SocketOfRun(const RunContext& run) {
  for (const auto& socket : sockets_) {
    if (socket->worker && &socket->worker->Run() == &run) return socket.get();
  }
  return nullptr;
}

int TForm1::RunsUnderWay() const {
  int count = 0;
  for (const auto& socket : sockets_) count += socket->running ? 1 : 0;
  return count;
}

void TForm1::UpdateControls() {
  const UnitRun* selected = SelectedSocket();
  const bool selectedRuns = selected != nullptr && selected->running;
  // With no unit selected while a run goes (its unit left), Start stays as that run left it.
  const bool testing = selectedRuns || (SelectedDevice == nullptr && AnyRunning());
  Button1.SetCaption(testing ? "Testing..." : "Start");
  Button1.SetEnabled(!testing && ShownPicture != -1 && CanStart(SelectedDevice));
  // Result shows the selected unit's last dialog, or the last one of all when it has none.
  const UnitRun* shown = selected != nullptr && selected->hasDialog ? selected : latest_;
  Button2.SetEnabled(!testing && shown != nullptr && shown->hasDialog && !shown->running);
  // A unit alone keeps the combo still while it runs; a station's operator moves between units.
  ComboBox1.SetEnabled(!(AnyRunning() && DeviceList.size() <= 1));
  StartAllButton.SetVisible(DeviceList.size() > 1);
  StartAllButton.SetEnabled(IdleUnits() > 0);
}

void TForm1::Button1Click() {
  if (SelectedDevice == nullptr) return;
  for (int i = 0; i < static_cast<int>(DeviceList.size()); ++i) {
    if (DeviceList[static_cast<std::size_t>(i)].get() == SelectedDevice) StartRun(i);
  }
}

void TForm1::StartAllClick() {
  std::vector<int> every(DeviceList.size());
  for (std::size_t i = 0; i < every.size(); ++i) every[i] = static_cast<int>(i);
  StartUnits(every);
}

int TForm1::StartUnits(const std::vector<int>& indexes) {
  int starting = RunsUnderWay();
  for (const int i : indexes) {
    if (i < 0 || i >= static_cast<int>(DeviceList.size())) continue;
    const DeviceEntry* entry = DeviceList[static_cast<std::size_t>(i)].get();
    const UnitRun* socket = SocketOf(entry);
    starting += (socket == nullptr || !socket->running) && CanStart(entry) ? 1 : 0;
  }
  int started = 0;
  BeginLogStation(starting);
  for (const int i : indexes) {
    if (i >= 0 && i < static_cast<int>(DeviceList.size()) && StartRun(i)) ++started;
  }
  EndLogStation();
  return started;
}

namespace {

// The run's first lines under its tag: its record begun, the host's report and the USB 3
// topology, written as the run's own.
void OpenRunLog(RunContext& run, const DeviceEntry& entry, const std::string& item, int index,
                const std::string& tag) {
  BeginLogRun(run.Id, tag);
  ScopedLogOwner owner(run.Id);
  BeginRunRecord(run, entry, item, index);
  WriteHostReport();
  LogUsb3Topology();
}

}  // namespace

bool TForm1::StartRun(int index) {
  DeviceEntry* entry = DeviceList[static_cast<std::size_t>(index)].get();
  // Start is disabled for an entry no worker can test or whose run goes; a stray click does
  // nothing.
  if (!CanStart(entry)) return false;
  // A cut run's worker may still be ending: the unit starts again once it has been joined.
  if (const UnitRun* socket = SocketOf(entry);
      socket != nullptr && (socket->running || socket->cut)) {
    return false;
  }
  const ModelRow* row = MatchModelRow(*entry);
  const bool shown = entry == SelectedDevice;
  UnitRun& socket = NewSocket(entry);
  JoinBatch(socket);
  // The record names the item as the operator picked it (or typed it, for the unit shown).
  socket.item = shown && ComboBox1.ItemIndex() < 0 ? ComboBox1.Text() : BaseItemText(index);
  batchRuns_.emplace_back(socket.item, std::string());
  // The unit's last run leaves the list view before it is dropped.
  if (shown || (viewRun_ != nullptr && viewRun_ == socket.last.get())) ShowRunInView(nullptr);
  socket.last.reset();
  entry->RunUnderWay = true;
  UpdateControls();
  // Every run starts from a state of its own: no flag of another run reaches it. Everything the
  // run writes (rows, result lines, record, command logging, log lines) lives in its RunContext.
  const platform::LocalTime started = platform::ThePlatform().GetLocalTime();
  auto newRun = [&] {
    auto run = std::make_unique<RunContext>(entry, PauseEvent, this);
    run->RunStartTime = started;
    BeginRunRows(*run, row->stepList);
    return run;
  };
  std::unique_ptr<RunContext> run = newRun();
  const std::uint64_t firstId = run->Id;
  // The run's lines are tagged with its unit's serial, or with its item where that does not
  // tell the unit apart.
  const std::string tag = LooksAlike(*entry) ? socket.item : SerialOf(*entry);
  OpenRunLog(*run, *entry, socket.item, index, tag);
  if (shown) ShowRunInView(run.get());
  run->ResultLineSink = [this, &socket](const std::string& line) {
    if (onResultLine) onResultLine(socket, line);
  };
  socket.worker = CreateSequenceWorker(row->worker, std::move(run));
  if (!socket.worker) {
    // No worker for this family: the run ends at once, with its rows unmarked.
    if (shown) viewRun_ = nullptr;
    EndLogRun(firstId);
    socket.last = newRun();
    BeginLogRun(socket.last->Id, tag);
    ScopedLogOwner owner(socket.last->Id);
    BeginRunRecord(*socket.last, *entry, socket.item, index);
    if (shown) ShowRunInView(socket.last.get());
    socket.ended = true;
    Timer1.SetEnabled(true);
  }
  ShowUnitStates();
  HoldSession();
  return true;
}

void TForm1::JoinBatch(UnitRun& socket) {
  // Runs started while others go belong to the same batch of the station.
  if (!AnyRunning()) {
    ++batch_;
    batchRuns_.clear();
  }
  socket.batch = batch_;
  socket.running = true;
  socket.ended = false;
  socket.entryLeft = false;
}

const RunContext* TForm1::CurrentRun() const {
  const UnitRun* socket = CurrentSocket();
  return socket != nullptr ? socket->Run() : nullptr;
}

bool TForm1::RunEntryLeft() const {
  const UnitRun* socket = CurrentSocket();
  return socket != nullptr && socket->entryLeft;
}

const char* TForm1::RunResultWord() const {
  // A unit that left took its list with it: whatever the combo shows now is not this run's.
  if (RunEntryLeft()) return "None";
  const RunContext* run = CurrentRun();
  return run == nullptr ? "None" : ResultWordOf(run->Rows);
}

void TForm1::Button2Click() {
  const UnitRun* socket = SelectedSocket();
  if (socket == nullptr || !socket->hasDialog) socket = latest_;
  if (socket != nullptr && socket->hasDialog) {
    ShowResultDialog(*socket);
  } else if (Form2 != nullptr) {
    ui::TheToolkit().ShowModal(*Form2);
  }
}

void TForm1::ShowResultDialog(const UnitRun& socket) {
  if (Form2 == nullptr) return;
  // The dialog the operator is reading keeps its run; it only comes forward.
  if (Form2->modalOpen) {
    ui::TheToolkit().ShowModal(*Form2);
    return;
  }
  const ResultDialog& d = socket.dialog;
  // On a station the dialog names its unit, as the run's boxes did.
  std::string caption = "Test Report";
  if (DeviceList.size() > 1 && !d.unit.empty()) caption += " - " + d.unit;
  Form2->SetCaption(caption);
  Form2->Label2.SetCaption(d.result);
  Form2->Label4.SetCaption(FormatDateTime(d.start));
  Form2->Label6.SetCaption(FormatDateTime(d.end));
  // The other runs of the session come last: the memo opens scrolled to its end, so they are
  // what the operator reads first.
  std::vector<std::string> lines = d.lines;
  if (!d.others.empty()) {
    lines.emplace_back(kResultSeparator);
    lines.emplace_back("Other units tested with this one:");
    for (const std::string& other : d.others) lines.push_back("  " + other);
  }
  if (Form2->Memo1.Lines() != lines) Form2->ShowResultLines(lines);
  ui::TheToolkit().ShowModal(*Form2);
}

std::vector<std::string> TForm1::OtherRunsOfBatch(const UnitRun& socket) const {
  // Failures first: a station's worst news is read before its good news.
  const auto rank = [](const std::string& word) {
    static const char* const kOrder[] = {"Error", "None", "Warning", "Success"};
    int r = 0;
    for (const char* w : kOrder) {
      if (word == w) return r;
      ++r;
    }
    return r;
  };
  std::vector<std::pair<std::string, std::string>> others;
  bool self = false;
  for (const auto& [item, result] : batchRuns_) {
    if (!self && item == socket.item) {
      self = true;
      continue;
    }
    others.emplace_back(item, result);
  }
  std::ranges::stable_sort(others, {}, [&](const auto& other) { return rank(other.second); });
  std::vector<std::string> lines;
  lines.reserve(others.size());
  for (const auto& [item, result] : others) {
    std::string line = item;
    line += " - ";
    line += result;
    lines.push_back(std::move(line));
  }
  return lines;
}

void TForm1::Timer1Timer() {
  if (!closing_) FinishRun();
}

void TForm1::RunEnded(RunContext& run) {
  ui::TheToolkit().Invoke([this, &run] {
    if (UnitRun* socket = SocketOfRun(run)) socket->ended = true;
    Timer1.SetEnabled(true);
  });
}

void TForm1::RunChanged(RunContext& run) {
  if (&run == viewRun_) DrawRun(run);
  ShowUnitStates();
}

int TForm1::Prompt(RunContext& run, const std::string& text, const char* caption, unsigned flags,
                   std::string& shown) {
  // The box belongs to the GUI thread: a box of the worker's own would tie the two threads'
  // input together and freeze while the window is busy. One box at a time: a second run asking
  // meanwhile waits for the first box's answer, so no box hides behind another.
  std::lock_guard oneBox(promptLock_);
  int answer = 0;
  // The box's own loop handles device changes meanwhile: their lines are the station's, not
  // lent to the run that asks.
  ui::TheToolkit().Invoke([&] {
    std::string title = caption != nullptr ? caption : "";
    const UnitRun* socket = SocketOfRun(run);
    const std::string origin = socket != nullptr ? socket->item : std::string();
    // On a station the operator must see which unit asks: by its item where units look alike.
    if (DeviceList.size() > 1 && run.TestedDevice != nullptr) {
      const bool byItem = !origin.empty() && LooksAlike(*run.TestedDevice);
      title += (title.empty() ? "" : " - ") + (byItem ? origin : run.TestedDevice->ModelName);
    }
    ui::ScopedBoxOrigin from(origin);
    answer = ui::TheToolkit().MessageBox(this, text, title, flags);
    shown = title;
  });
  return answer;
}

void TForm1::EndWorker(UnitRun& socket) {
  if (socket.worker) {
    socket.worker->Join();
    socket.last = socket.worker->ReleaseRun();
    socket.worker.reset();
  }
  // Pipes of a departed link are closed only now: the worker may have been reading them.
  if (socket.dropped) {
    if (socket.last && viewRun_ == socket.last.get()) viewRun_ = nullptr;
    socket.dropped.reset();
    socket.entry = nullptr;
  } else if (socket.entry != nullptr) {
    DeviceEntry& entry = *socket.entry;
    if (entry.Link1Flag.load() != kFlagOpen) {
      CloseDeviceHandle(entry.Link1Read);
      CloseDeviceHandle(entry.Link1Write);
    }
    if (entry.Link2Flag.load() != kFlagOpen) {
      CloseDeviceHandle(entry.Link2Read);
      CloseDeviceHandle(entry.Link2Write);
    }
  }
  if (socket.entry != nullptr) socket.entry->RunUnderWay = false;
  socket.running = false;
  socket.ended = false;
}

void TForm1::FinishRun() {
  Timer1.SetEnabled(false);
  // Each ended run in turn; a run without a worker (none for its family) has ended at Start.
  for (;;) {
    UnitRun* due = nullptr;
    for (const auto& socket : sockets_) {
      if ((socket->running || socket->cut) && (socket->ended || !socket->worker)) {
        due = socket.get();
      }
      if (due != nullptr) break;
    }
    if (due == nullptr) break;
    FinishSocket(*due);
  }
}

void TForm1::FinishSocket(UnitRun& socket) {
  const bool cut = socket.cut;
  EndWorker(socket);
  socket.cut = false;
  if (!cut) latest_ = &socket;
  if (socket.entry == nullptr) {
    // Its unit has gone: the socket leaves the station, its run stays readable as the last.
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
      if (sockets_[i].get() == &socket) ForgetSocket(i);
    }
  }
  ShowUnitStates();
  UpdateControls();
  // A cut run was kept when the window cut it: only its worker was left to join.
  if (cut) return;
  UnitRun& ended = const_cast<UnitRun&>(*latest_);
  if (Form2 == nullptr) {
    AssociateAfterRun();
    HoldSession();
    return;
  }
  // The dialog and the record are built from the run that ended, not from each other.
  if (!ended.last) ended.last = std::make_unique<RunContext>(ended.entry, PauseEvent, this);
  KeepRun(ended, *ended.last);
  AssociateAfterRun();
  if (onRunKept) onRunKept(ended);
  ShowUnitStates();
  UpdateControls();
  const bool saved = SaveLogLines(kLogFileName);
  // Its log is saved: with no run under way the station may sleep or shut down again.
  HoldSession();
  if (!saved) {
    const std::string message = std::string("Cannot create file ") + kLogFileName;
    // The program's own box: no run asks it, even when a run's box is up meanwhile.
    ui::ScopedBoxOrigin none("");
    ui::TheToolkit().MessageBox(this, message, ApplicationTitle, ui::kMbOk | ui::kMbIconError);
    return;
  }
  // A run that ends while others go does not stop the station with its dialog: the combo, its
  // record and Result show it. The last run to end opens the dialog, its own, whichever unit is
  // selected: the dialog that closes the station is never an earlier or an older run's.
  if (AnyRunning()) return;
  // The dialog that closes the session says how its other runs ended; Result shows it again.
  ended.dialog.others = OtherRunsOfBatch(ended);
  ShowResultDialog(ended);
}

void TForm1::KeepRun(UnitRun& socket, RunContext& run) {
  const std::string result = socket.entryLeft ? "None" : ResultWordOf(run.Rows);
  run.RunEndTime = platform::ThePlatform().GetLocalTime();
  // The unit as its boxes named it: the item without its number.
  const std::size_t named = socket.item.find("] ");
  socket.dialog = {result,
                   run.RunStartTime,
                   run.RunEndTime,
                   run.ResultLines,
                   named == std::string::npos ? std::string() : socket.item.substr(named + 2),
                   {}};
  socket.hasDialog = true;
  for (auto& [item, word] : batchRuns_) {
    if (item == socket.item && word.empty()) {
      word = result;
      break;
    }
  }
  run.ResultLineSink = nullptr;
  {
    ScopedLogOwner owner(run.Id);
    KeepRunRecord(run, result);
  }
  EndLogRun(run.Id);
}

void TForm1::CutRuns() {
  if (!AnyRunning()) return;
  std::vector<UnitRun*> under;
  for (const auto& socket : sockets_) {
    if (socket->running) under.push_back(socket.get());
  }
  for (UnitRun* socket : under) {
    if (socket->worker) socket->worker->RequestStop();
  }
  // A run whose worker has already done its last act ended as it ended; the others end here,
  // as a cancelled run, on the row they were on.
  for (UnitRun* socket : under) CutSocket(*socket, socket->worker && !socket->ended);
  ShowUnitStates();
  UpdateControls();
  // No box: the window is closing, or the session is ending.
  SaveLogLines(kLogFileName);
  HoldSession();
}

void TForm1::CutSocket(UnitRun& socket, bool markEnding) {
  RunContext* run = socket.Run();
  socket.running = false;
  socket.cut = true;
  latest_ = &socket;
  if (run == nullptr || Form2 == nullptr) return;
  // The worker's own marks now wait for the window: the run ends on the row it was on, or on its
  // first row when none had begun (a run with no mark would read "Success").
  if (markEnding) {
    if (run->CurrentRow.load() < 0 && !run->Rows.empty()) NoteCurrentRow(*run, 0);
    MarkRunEnding(*run, RunEnding::kCancelled);
  }
  KeepRun(socket, *run);
  if (onRunKept) onRunKept(socket);
}

void TForm1::HoldSession() {
  const bool hold = AnyRunning();
  if (hold == sessionHeld_) return;
  sessionHeld_ = hold;
  platform::Platform& os = platform::ThePlatform();
  const platform::Handle window = ui::WindowHandle(*this);
  if (hold) {
    os.ShutdownBlockReasonCreate(window, kRunsUnderWayReason);
    os.SetThreadExecutionState(platform::kEsContinuous | platform::kEsSystemRequired);
  } else {
    os.ShutdownBlockReasonDestroy(window);
    os.SetThreadExecutionState(platform::kEsContinuous);
  }
}

void TForm1::AssociateAfterRun() {
  if (DriveAssociationDeferred(discovery_)) AssociateDriveLetters(discovery_);
}

void TForm1::ForgetSocket(std::size_t index) {
  std::unique_ptr<UnitRun> socket = std::move(sockets_[index]);
  sockets_.erase(sockets_.begin() + static_cast<std::ptrdiff_t>(index));
  if (viewRun_ != nullptr && viewRun_ == socket->Run()) viewRun_ = nullptr;
  socket->entry = nullptr;
  if (latest_ == socket.get()) lastDeparted_ = std::move(socket);
}

std::vector<DeviceEntry*> TForm1::DepartedDuringRuns() const {
  std::vector<DeviceEntry*> departed;
  for (const auto& socket : sockets_) {
    if (socket->dropped) departed.push_back(socket->dropped.get());
  }
  return departed;
}

long TForm1::Dispatch(unsigned message, unsigned long wParam, long lParam) {
  if (message == ui::kWmDeviceChange) return OnDeviceChange(wParam);
  // A shutdown, restart or logoff now would leave discs in the arms and trays: while a run is
  // under way the session is asked to wait, and the system shows the operator why
  // (kRunsUnderWayReason) and lets him choose. The answer is due at once: no box.
  if (message == ui::kWmQueryEndSession) return AnyRunning() ? 0 : 1;
  // The session ends all the same: every run under way is cut and kept before the system ends
  // the program. A session that goes on changes nothing.
  if (message == ui::kWmEndSession) {
    if (wParam != 0) CutRuns();
    return 0;
  }
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
  if (BuildDeviceList(discovery_)) RefreshDeviceCombo();
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
    // A running worker may be inside a read on these pipes: its flag stops it within one
    // pause, and its handles are closed when its run ends.
    UnitRun* socket = SocketOf(&entry);
    const bool inUse = socket != nullptr && socket->running;
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
      socket->dropped = std::move(owned);  // freed when the run has ended
      socket->entryLeft = true;
      // The list view may now show another unit's list, which the rest of the run must not mark.
      if (RunContext* run = socket->Run(); run != nullptr && run == viewRun_) viewRun_ = nullptr;
    } else if (socket != nullptr) {
      for (std::size_t k = 0; k < sockets_.size(); ++k) {
        if (sockets_[k].get() == socket) {
          ForgetSocket(k);
          break;
        }
      }
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
  // The runs under way end here, kept as any run's end keeps them.
  CutRuns();
  for (const auto& socket : sockets_) {
    if (socket->worker) socket->worker->RequestStop();
  }
  ui::TheToolkit().RunUntil([this] {
    for (const auto& socket : sockets_) {
      if (socket->worker && !socket->worker->Finished()) return false;
    }
    return true;
  });
  Timer1.SetEnabled(false);
  // The sockets keep their runs for whoever reads them after the close; the units go.
  for (const auto& socket : sockets_) {
    EndWorker(*socket);
    socket->entry = nullptr;
  }
  viewRun_ = nullptr;
  CloseAllDevices();
  ReleaseLogLines();
  SelectedDevice = nullptr;
  DeviceList.clear();  // each entry closes its open pipes as it is freed
  if (PauseEvent != platform::kInvalidHandle) {
    platform::ThePlatform().CloseHandle(PauseEvent);
    PauseEvent = platform::kInvalidHandle;
  }
}
