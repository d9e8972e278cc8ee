// The main window TForm1: the device combo, the model table, the step list, run control and the
// device-change handling. Owns its controls; the console globals below live for the program.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/Discovery.h"
#include "models/ModelCatalogue.h"
#include "platform/Platform.h"
#include "report/RunState.h"
#include "sequences/Runner.h"
#include "ui/Controls.h"

struct DeviceEntry;
class SequenceWorker;

// The model table is the model catalogue (models/ModelCatalogue.h): its rows are tried in order,
// the first match wins.
using models::ModelRow;
// The first matching row for an entry, or null.
const ModelRow* MatchModelRow(const DeviceEntry& entry);
// True when the entry matches a row whose worker this program has: Start is enabled for it.
bool CanStart(const DeviceEntry* entry);

// A run's state lives in its RunContext (report/RunState.h); what stays here belongs to the one
// main window and outlives every run.
// The combo row the operator asked for, until a refresh has selected it. GUI thread.
extern int RequestedIndex;
// The picture the window shows (0..4), or -1. GUI thread.
extern int ShownPicture;
// The application object's title; FormCreate copies the window caption into it.
extern std::string ApplicationTitle;

// What a shutdown, restart or logoff shows under the program's name while runs are under way.
inline constexpr const char* kRunsUnderWayReason =
    "Autoloader test under way: discs may be in the arms or trays.";

// The result dialog of one run, as Result shows it again for its unit.
struct ResultDialog {
  std::string result;
  platform::LocalTime start{};
  platform::LocalTime end{};
  std::vector<std::string> lines;
  std::string unit;  // "MODEL (SERIAL)", as the run's boxes name it on a station
  // When this dialog closed a station session: how the session's other runs ended, failures
  // first ("[i] MODEL (SERIAL) - Error"); the memo shows them below the run's own lines.
  std::vector<std::string> others;
};

// One unit's test socket: its run under way, or its last run and result dialog. GUI thread.
struct UnitRun {
  DeviceEntry* entry = nullptr;  // the unit; while its run goes it stays valid even if it left
  std::string item;              // the combo item Start found ("[i] MODEL (SERIAL)")
  std::unique_ptr<SequenceWorker> worker;  // the run under way
  std::unique_ptr<RunContext> last;        // the ended run, handed back by its worker
  std::unique_ptr<DeviceEntry> dropped;    // the entry, once it left DeviceList during the run
  bool running = false;                    // from Start until FinishRun (or the run is cut)
  bool ended = false;                      // the worker has done its last act
  bool entryLeft = false;                  // the unit left DeviceList during the run
  // The window ended the run (the window closes, the session ends) and kept it; its worker is
  // still to be joined.
  bool cut = false;
  bool hasDialog = false;
  int batch = 0;  // the station's batch of runs this unit's last run went with
  ResultDialog dialog;
  RunContext* Run() { return worker ? &worker->Run() : last.get(); }
  const RunContext* Run() const { return worker ? &worker->Run() : last.get(); }
};

// The main window is the run host of every run: it owns the prompts and hears of the run's end.
// Each attached unit is a test socket: Start runs the selected unit while others run, Start all
// runs every idle one.
class TForm1 : public ui::Form, public RunHost {
 public:
  TForm1();
  ~TForm1() override;

  // Event handlers (GUI thread).
  void FormCreate();
  void FormClose();
  void ComboBox1Change();
  void Button1Click();
  void Button2Click();
  void StartAllClick();
  void Timer1Timer();

  // Starts the idle units at these combo items in one act, as Start all starts every one: the
  // log tags each run from its first line. The number of runs started. GUI thread.
  int StartUnits(const std::vector<int>& indexes);
  void RefreshDeviceCombo();
  // Finishes every run whose worker has ended, in the order they ended.
  void FinishRun();
  // The result word of the current run (CurrentRun), from its own rows ("None" when its unit
  // left).
  const char* RunResultWord() const;
  // True when the unit of the current run left during it.
  bool RunEntryLeft() const;
  // The selected unit's run under way or last run; else the run that ended last (null before
  // the first Start). GUI thread.
  const RunContext* CurrentRun() const;
  // Runs under way (started and not yet finished). GUI thread.
  int RunsUnderWay() const;
  // True once every run started has been finished (none under way, none waiting for Timer1).
  bool AllRunsHandled() const { return RunsUnderWay() == 0 && !Timer1.Enabled(); }
  // The unit's socket, or null when it has never been started. GUI thread.
  const UnitRun* SocketOf(const DeviceEntry* entry) const;
  // The combo item of a listed unit without its state: "[i] MODEL (SERIAL)".
  std::string BaseItemText(int index) const;
  // Every combo item without its state (the combo's own items when no unit is listed).
  std::vector<std::string> ItemNames() const;
  long OnDeviceChange(unsigned long eventCode);
  bool PruneDepartedDevices();
  long Dispatch(unsigned message, unsigned long wParam, long lParam) override;

  // RunHost: the run's boxes are shown on the GUI thread, owned by this window, one at a time.
  int Prompt(RunContext& run, const std::string& text, const char* caption, unsigned flags,
             std::string& shown) override;
  // The worker's last act: its run is due to finish; Timer1 finishes it on the GUI thread.
  void RunEnded(RunContext& run) override;
  void RunChanged(RunContext& run) override;

  // Told each result line of every run as it comes, with the run's socket (tools print progress
  // from it). GUI thread.
  std::function<void(const UnitRun& socket, const std::string& line)> onResultLine;
  // Told each run whose record has just been kept, before its dialog may open. GUI thread.
  std::function<void(const UnitRun& socket)> onRunKept;

  ui::Panel Panel1;
  ui::Label Label1;
  ui::Label Label2;
  ui::ComboBox ComboBox1;
  ui::Image Image1;
  ui::Image Image2;
  ui::Image Image3;
  ui::Image Image4;
  ui::Image Image5;
  ui::ListView ListView1;
  ui::Button Button1;
  ui::Button Button2;
  // Start all, for a station of several units: named by its role, as the window's original
  // controls are by kind and number.
  ui::Button StartAllButton;
  ui::ImageList ImageList1;
  ui::Timer Timer1;

  ui::Image* Picture(int index);
  const ui::Image* Picture(int index) const;
  // What the list build keeps between device changes: the window's own, GUI thread only.
  DiscoveryState& Discovery() { return discovery_; }

 private:
  // Starts a run of the listed unit at `index`; false when it cannot start. GUI thread.
  bool StartRun(int index);
  // The socket's run begun, in the station's current batch (a new one when no run goes).
  void JoinBatch(UnitRun& socket);
  // Joins the ended worker and settles the entry it tested. GUI thread.
  void EndWorker(UnitRun& socket);
  void FinishSocket(UnitRun& socket);
  // The run's result word, dialog and record, as its end keeps them. GUI thread.
  void KeepRun(UnitRun& socket, RunContext& run);
  // Ends every run under way where it stands (the window closes, the session ends): each is
  // kept as a cancelled run, its record, history line and log lines saved at once; the workers
  // are asked to stop and are joined later. GUI thread.
  void CutRuns();
  void CutSocket(UnitRun& socket, bool markEnding);
  // While a run is under way the system neither sleeps by its idle timer nor ends the session
  // without asking; both are given back once none is. GUI thread.
  void HoldSession();
  void ShowResultDialog(const UnitRun& socket);
  // How the batch's other runs than the socket's ended, failures first.
  std::vector<std::string> OtherRunsOfBatch(const UnitRun& socket) const;
  // Both passes of the list build again (a device came, or a TM36's counts may have dropped);
  // the combo is refilled when the list changed.
  void RebuildDeviceList();
  // A drive that arrived while a unit waiting for one was under test is associated once that
  // run has ended (its record kept, before its log is saved).
  void AssociateAfterRun();
  // True when a listed TM36 counts more than one printer or HV22 part.
  bool CountsSeveralParts() const;
  UnitRun* SocketOf(const DeviceEntry* entry);
  UnitRun& NewSocket(DeviceEntry* entry);
  // The socket whose worker runs `run`, or null.
  UnitRun* SocketOfRun(const RunContext& run);
  // Listed units that are idle and can be started.
  int IdleUnits() const;
  // True when the unit has no serial, or another attached unit has the same: its serial does
  // not tell it apart, its item must.
  bool LooksAlike(const DeviceEntry& entry) const;
  UnitRun* SelectedSocket();
  const UnitRun* SelectedSocket() const;
  // The socket whose run CurrentRun names.
  const UnitRun* CurrentSocket() const;
  // The entries that left DeviceList while their runs go on.
  std::vector<DeviceEntry*> DepartedDuringRuns() const;
  // Drops a socket whose unit has gone; the last one to end stays readable.
  void ForgetSocket(std::size_t index);
  // The combo item with its unit's state while more than one unit is attached.
  std::string ComboItemText(int index) const;
  // Rewrites the items whose state has changed.
  void ShowUnitStates();
  // While several units are listed the window grows wider by what the widest combo item needs,
  // so that no item's index, model, serial or state is cut off in the closed box; the picture
  // column takes the width, the step list and the buttons on its right move with it. One unit:
  // the window as it always was.
  void LayOutForUnits();
  // Buttons and combo as the selected unit and the runs under way allow.
  void UpdateControls();
  // Shows the selected unit's run (its rows and marks) in the list view, or none.
  void ShowRunInView(RunContext* run);
  // The list view's rows and marks from the run's own (the run is the one model of them).
  void DrawRun(const RunContext& run);
  bool AnyRunning() const { return RunsUnderWay() > 0; }

  std::vector<std::unique_ptr<UnitRun>> sockets_;
  std::unique_ptr<UnitRun> lastDeparted_;  // the latest socket whose unit has gone
  const UnitRun* latest_ = nullptr;        // the socket whose run ended last
  RunContext* viewRun_ = nullptr;          // the run the list view shows
  std::mutex promptLock_;                  // one box at a time
  int batch_ = 0;                          // runs under way together, counted from one
  // The runs of the current batch in the order they started: item and result word (empty
  // while the run goes).
  std::vector<std::pair<std::string, std::string>> batchRuns_;
  bool created_ = false;
  bool closing_ = false;      // FormClose is stopping the workers
  bool sessionHeld_ = false;  // the system is kept awake and its shutdown waits for the runs
  DiscoveryState discovery_;
};

// Process-wide: the one main window, the run host of every run and the target of device changes.
extern TForm1* Form1;
