// The step list of the selected model and the four status operations the workers report
// through. Status operations may be called from the worker: their effects on the run's rows, the
// list view showing them and the run's result lines run on the GUI thread, synchronously, in
// call order.
#pragma once

#include <string>
#include <vector>

#include "report/RunState.h"

namespace ui {
class ListView;
}  // namespace ui

inline constexpr const char* kResultSeparator = "---------------------------------------------";
inline constexpr const char* kTaskFulfilled = "The task has been fulfilled.";

// The words of a run that ended before its last step without a failure of its own: the unit
// stopped answering (a lost link, a give-up bound), or the operator cancelled at a prompt that
// followed no failure. Without them such a run would read as "Success".
inline constexpr const char* kStoppedAnswering = "The autoloader stopped answering.";
inline constexpr const char* kTestCancelled = "The test was cancelled.";

// The rows of an "ITEM" resource split at CR and LF, empty pieces dropped.
std::vector<std::string> SplitStepList(const char* bytes, std::size_t size);
// Appends the rows of the named "ITEM" resource to the list view, each with image 0. A missing
// resource appends nothing and returns false. GUI thread.
bool LoadStepList(ui::ListView& listView, const char* resourceName);

// The run's own copy of its rows, taken from the list view at Start (ListView1); the status
// operations mark both while the list view shows the run. GUI thread.
void BeginRunRows(RunContext& run, ui::ListView& listView);
// The same for a unit the list view does not show: its rows from its step list resource, and no
// view (the window shows them when the operator selects the unit).
void BeginRunRowsFromList(RunContext& run, const char* resourceName);
// The tested unit left during the run: the list view may now show another unit's list, which
// the rest of the run must not mark. GUI thread.
void SeparateRunFromView(RunContext& run);
// "Error", "Warning" or "Success" from the marks, "None" for no rows.
const char* ResultWordOf(const std::vector<RunRow>& rows);

// The status operations below are the worker's; each acts on the run it is given.

// The run ends here. After a lost link or a Cancel that followed no failure mark, the step the
// run was on, or the row it would have run next when that step had already passed or warned, is
// failed with kStoppedAnswering or kTestCancelled, so no unfinished run reads as passed. Records
// the ending.
void MarkRunEnding(RunContext& run, RunEnding ending);
// The unit stopped answering; a row reported as passed from now on is failed instead, as the
// unit never finished it.
void NoteLinkLost(RunContext& run);
// A hidden state acting for this row (it fails on it) without a heading of its own.
void NoteCurrentRow(RunContext& run, int index);

void StepBegin(RunContext& run, int index);
void StepPassed(RunContext& run, int index, const char* text);
void StepFailed(RunContext& run, int index, const std::string& message);
void StepWarned(RunContext& run, int index, const std::string& message);
