// Runs the test of one combo item the way an operator does (pick it, press Start, wait for the
// result dialog) and records what the window showed, printing progress as it happens.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "report/RunRecord.h"

class TForm1;
class TForm2;
namespace ui::headless {
class HeadlessToolkit;
}

// One run as veltrane-bench saw it: the console's record of the run (report/RunRecord.h) and
// how long it took.
struct BenchRun {
  bool started = false;
  RunRecord record;
  double virtualSeconds = 0;
  double wallSeconds = 0;
  double pauseSeconds = 0;  // the pauses the run made: the floor under its wall time
  // Per prompt of the run, in order: whether its answer came from --answers, and the scripted
  // answer that fit none of its buttons (0 if none).
  struct Answer {
    bool scripted = false;
    int unfitting = 0;
  };
  std::vector<Answer> answers;
  int unfittingAnswers = 0;
};

// Picks combo item `index`, presses Start and runs the GUI loop until the run has been handled.
// The clock readers give the platform clock's milliseconds and the ms waited so far. Prints
// progress to `out`.
struct RunClocks {
  std::function<std::int64_t()> nowMs;
  std::function<std::int64_t()> waitedMs;
};
BenchRun RunItem(TForm1& form, TForm2& dialog, ui::headless::HeadlessToolkit& toolkit, int index,
                 const RunClocks& clocks, std::ostream& out);

// Picks each of the combo items in turn and presses Start, all as one act, then runs the GUI
// loop until every run has been handled. Progress lines carry their run's item; each run's
// result dialog is printed at the end, in the order of `indexes`.
std::vector<BenchRun> RunItemsAtOnce(TForm1& form, TForm2& dialog,
                                     ui::headless::HeadlessToolkit& toolkit,
                                     const std::vector<int>& indexes, const RunClocks& clocks,
                                     std::ostream& out);

// The record as the console keeps it in TestRecords, with "started" and the three durations.
nlohmann::json BenchRunJson(const BenchRun& run);
