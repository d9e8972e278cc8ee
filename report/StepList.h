// The step list of a model and the four status operations the workers report through. Status
// operations may be called from the worker: their effects on the run's rows and result lines run
// on the GUI thread, synchronously, in call order, and the run's host hears of each change there
// (the window draws the run it shows from its rows).
#pragma once

#include <string>
#include <vector>

#include "report/RunState.h"

inline constexpr const char* kResultSeparator = "---------------------------------------------";
inline constexpr const char* kTaskFulfilled = "The task has been fulfilled.";

// The words of a run that ended before its last step without a failure of its own: the unit
// stopped answering (a lost link, a give-up bound), or the operator cancelled at a prompt that
// followed no failure. Without them such a run would read as "Success".
inline constexpr const char* kStoppedAnswering = "The autoloader stopped answering.";
inline constexpr const char* kTestCancelled = "The test was cancelled.";

// The rows of an "ITEM" resource split at CR and LF, empty pieces dropped.
std::vector<std::string> SplitStepList(const char* bytes, std::size_t size);
// The rows of the named "ITEM" resource; none for a missing resource.
std::vector<std::string> LoadStepList(const char* resourceName);

// The run's own copy of its rows, from its step list resource, none marked: the one place the
// run's rows and marks live. GUI thread.
void BeginRunRows(RunContext& run, const char* resourceName);
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
// How a passed row leaves the log: closed by a separator line after its text, or left open for
// the step to close itself (the TM36P's HV22 check logs its own result line).
enum class RowLog { kClose, kLeaveOpen };
void StepPassed(RunContext& run, int index, const char* text, RowLog rowLog = RowLog::kClose);
void StepFailed(RunContext& run, int index, const std::string& message);
void StepWarned(RunContext& run, int index, const std::string& message);
