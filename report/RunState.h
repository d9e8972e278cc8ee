// The state of one run, and which family's worker tests a unit. Part of what workers write
// (below the sequences, with the log and the step list): no window in it.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "models/ModelCatalogue.h"
#include "platform/Platform.h"

struct DeviceEntry;

// Which family's worker tests a unit (the model catalogue says it of each model).
using models::WorkerClass;

// How a run ended, as the worker saw it.
enum class RunEnding {
  kCompleted,  // the sequence reached its last step
  kLinkLost,   // the unit stopped answering or left
  kCancelled,  // an operator's answer ended it
};

// One row of the run under way: its caption and its mark.
struct RunRow {
  std::string caption;
  int icon = 0;
};

// Everything one run knows about itself. The console creates it at Start, the worker owns it
// while it runs and hands it back when joined, so the result, the record and the dialog read
// the run that ended and no run inherits another's flags. Members keep the names the handlers
// have always used.
struct RunContext {
  RunContext(DeviceEntry* tested, platform::Handle pauseEvent)
      : TestedDevice(tested), PauseEvent(pauseEvent) {}
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;

  // The entry under test; commands of the run go to it whatever the combo shows. Not owned.
  DeviceEntry* const TestedDevice;
  // The program's never-signalled event every pause of the run waits on.
  const platform::Handle PauseEvent;

  // Written by the worker, read by either thread.
  std::atomic<bool> RunActive{false};  // cleared when the run is to end after this cycle
  std::atomic<int> StepState{0};       // the handler that acts in the next turn
  std::atomic<bool> HeadingLogged{false};
  std::atomic<bool> RetryPending{false};  // the unit reported "AT+E": query before retrying
  std::atomic<int> RetryCount{0};         // silent polls or misses of the step under way
  std::atomic<int> CurrentRow{-1};        // the row the run is on, for its ending
  std::atomic<bool> LinkLost{false};      // the unit stopped answering: nothing passes now
  std::atomic<RunEnding> Ending{RunEnding::kCompleted};
  // The worker's until it is joined: each move ("FAMILY from -> to") its family's state table
  // does not list. A sound run leaves it empty.
  std::vector<std::string> UnlistedMoves;

  // GUI thread only (the status operations touch them inside their invoke).
  std::vector<RunRow> Rows;  // the run's own copy of its rows and marks
  bool ViewShowsRun = true;  // false once the tested unit left during the run
  platform::LocalTime RunStartTime{};
  platform::LocalTime RunEndTime{};
};
