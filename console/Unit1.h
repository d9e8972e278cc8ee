// The main window TForm1: the device combo, the model table, the step list, run control and the
// device-change handling. Owns its controls; the console globals below live for the program.
#pragma once

#include <atomic>
#include <memory>
#include <string>

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

// The main window is the run host of every run: it owns the prompts and hears of the run's end.
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
  void Timer1Timer();

  void RefreshDeviceCombo();
  void FinishRun();
  // The result word of the last run, from that run's own rows ("None" when its unit left).
  const char* RunResultWord() const;
  // True when the unit of the last (or running) run left during it.
  bool RunEntryLeft() const { return runEntryLeft_; }
  // The run under way, else the last one (null before the first Start). GUI thread.
  const RunContext* CurrentRun() const;
  long OnDeviceChange(unsigned long eventCode);
  bool PruneDepartedDevices();
  long Dispatch(unsigned message, unsigned long wParam, long lParam) override;

  // Called by the worker as its last act: enables Timer1 on the GUI thread.
  void EnableTimer1();
  // RunHost: the run's boxes are shown on the GUI thread, owned by this window.
  int Prompt(RunContext& run, const std::string& text, const char* caption,
             unsigned flags) override;
  void RunEnded(RunContext& /*run*/) override { EnableTimer1(); }

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
  ui::ImageList ImageList1;
  ui::Timer Timer1;

  ui::Image* Picture(int index);

 private:
  // Joins the ended worker and settles the entry it tested. GUI thread.
  void EndWorker();
  // Both passes of the list build again (a device came, or a TM36's counts may have dropped);
  // the combo is refilled when the list changed.
  void RebuildDeviceList();
  // True when a listed TM36 counts more than one printer or HV22 part.
  bool CountsSeveralParts() const;
  RunContext* OwnRun();
  std::unique_ptr<SequenceWorker> worker_;     // owns the run under way
  std::unique_ptr<RunContext> lastRun_;        // the ended run, handed back by its worker
  DeviceEntry* runEntry_ = nullptr;            // the entry the running worker tests
  std::unique_ptr<DeviceEntry> droppedEntry_;  // it left DeviceList during the run
  bool running_ = false;                       // from Start until FinishRun
  bool runEntryLeft_ = false;                  // the run's entry left DeviceList during it
  bool created_ = false;
  bool closing_ = false;  // FormClose is stopping the worker
};

// Process-wide: the one main window, the run host of every run and the target of device changes.
extern TForm1* Form1;
