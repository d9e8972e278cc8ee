// The state of one run, and which family's worker tests a unit. Part of what workers write
// (below the sequences, with the log and the step list): no window in it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "models/ModelCatalogue.h"
#include "platform/Platform.h"
#include "report/RecordTypes.h"

struct DeviceEntry;
struct RunContext;

// Which family's worker tests a unit (the model catalogue says it of each model).
using models::WorkerClass;

// How a run ended, as the worker saw it.
enum class RunEnding {
  kCompleted,  // the sequence reached its last step
  kLinkLost,   // the unit stopped answering or left
  kCancelled,  // an operator's answer ended it
};

// Step icons of ImageList1.
inline constexpr int kIconNone = 0;
inline constexpr int kIconPassed = 1;
inline constexpr int kIconFailed = 2;
inline constexpr int kIconWarned = 3;

// "passed", "failed", "warned" or "" for a step icon.
constexpr const char* IconWord(int imageIndex) {
  switch (imageIndex) {
    case kIconPassed:
      return "passed";
    case kIconFailed:
      return "failed";
    case kIconWarned:
      return "warned";
    default:
      return "";
  }
}

// The window that started a run: it shows the run's prompts and hears of the run's end. The
// main window is the host of every run it starts; the run holds it from Start on.
class RunHost {
 public:
  virtual ~RunHost() = default;
  // Shows the run's message box on the GUI thread, owned by the main window, and returns the
  // button chosen; `shown` is the caption the box showed (on a station it names the unit). The
  // calling worker waits for the answer; it never owns a window itself. Worker thread.
  virtual int Prompt(RunContext& run, const std::string& text, const char* caption, unsigned flags,
                     std::string& shown) = 0;
  // The worker's last act: the console takes the run's end on the GUI thread. Worker thread.
  virtual void RunEnded(RunContext& run) = 0;
  // A status operation has changed the run's rows or result lines (GUI thread): the window
  // redraws the run where it shows it; the run itself holds nothing of the window.
  virtual void RunChanged(RunContext& /*run*/) {}
};

// The record a run is gathering: the status operations and prompts add to it from the worker,
// Start and FinishRun (GUI thread) open and close it. Every member under `lock`.
struct RunRecorder {
  std::mutex lock;
  bool active = false;
  RunRecord current;
  std::size_t logStart = 0;       // the run's first line in the log
  int lastBegun = -1;             // the row a prompt belongs to
  std::vector<bool> attemptOpen;  // per row: begun since its last outcome
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
  static std::uint64_t NextRunId() {
    static std::atomic<std::uint64_t> last{0};
    return ++last;
  }

  RunContext(DeviceEntry* tested, platform::Handle pauseEvent, RunHost* host = nullptr)
      : Id(NextRunId()), TestedDevice(tested), PauseEvent(pauseEvent), Host(host) {}
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;

  // The run's number in this program (from 1): the log knows its lines by it.
  const std::uint64_t Id;
  // The entry under test; commands of the run go to it whatever the combo shows. Not owned.
  DeviceEntry* const TestedDevice;
  // The program's never-signalled event every pause of the run waits on.
  const platform::Handle PauseEvent;
  // The window that shows the run's prompts and takes its end; null for a run no window started
  // (tests of the status operations). Not owned.
  RunHost* const Host;

  // Written by the worker, read by either thread.
  std::atomic<bool> RunActive{false};  // cleared when the run is to end after this cycle
  std::atomic<int> StepState{0};       // the handler that acts in the next turn
  std::atomic<bool> HeadingLogged{false};
  std::atomic<bool> RetryPending{false};  // the unit reported "AT+E": query before retrying
  std::atomic<int> RetryCount{0};         // silent polls or misses of the step under way
  std::atomic<int> CurrentRow{-1};        // the row the run is on, for its ending
  std::atomic<bool> LinkLost{false};      // the unit stopped answering: nothing passes now
  std::atomic<RunEnding> Ending{RunEnding::kCompleted};
  // While false, the run's commands write no reply lines (its housekeeping reads). Worker only
  // writes it; SendCommand reads it on the worker's thread.
  std::atomic<bool> CommandLogging{true};
  // The worker's until it is joined: each move ("FAMILY from -> to") its family's state table
  // does not list. A sound run leaves it empty.
  std::vector<std::string> UnlistedMoves;

  // The record being gathered, under its own lock (report/RunRecord.h).
  RunRecorder Record;

  // GUI thread only (the status operations touch them inside their invoke).
  std::vector<RunRow> Rows;  // the run's own copy of its rows and marks
  // The result dialog's lines of this run ("ResultLines"): FinishRun shows them.
  std::vector<std::string> ResultLines;
  // Told each result line as the run adds it (veltrane-bench prints each outcome as it comes);
  // empty when nobody listens.
  std::function<void(const std::string&)> ResultLineSink;
  platform::LocalTime RunStartTime{};
  platform::LocalTime RunEndTime{};
};
