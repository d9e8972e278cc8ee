// Gathering a run's record as the run goes, and keeping it in "TestRecords" when it ends. The
// record being gathered lives in the run (RunContext::Record, under its own lock); what outlives
// runs here is the console's: the records still waiting for their folder and the last record.
#pragma once

#include <string>
#include <vector>

#include "report/RecordTypes.h"
#include "report/RunState.h"

struct DeviceEntry;

// The unit's serial as its identification reply gives it (empty when it gave none).
std::string SerialOf(const DeviceEntry& entry);

// --- Hooks of the console: each takes the run's record lock, none blocks otherwise. ------------
// Start: the unit, the combo item and its index in the station's list (`socket`), the run's
// rows, a new run id and the station's zone; the run's log begins here. Logs first the lines of
// records an earlier run could not write. GUI thread.
void BeginRunRecord(RunContext& run, const DeviceEntry& entry, const std::string& item, int socket);
// A status operation on row `index` (a kIcon* value for an outcome, -1 for a begin) and the
// memo line it showed. Any thread.
void NoteStep(RunContext& run, int index, int icon, const std::string& memoLine);
// A prompt and the answer it got: it belongs to the row begun last. Any thread.
void NotePrompt(RunContext& run, const std::string& text, const char* caption, unsigned flags,
                int answer);
// The end of the run: the result word as the result dialog shows it, the run's result lines and
// times, and keeps the record in "TestRecords". A record that cannot be written changes nothing
// else: the next run logs one line saying so and tries again. GUI thread.
void KeepRunRecord(RunContext& run, const std::string& result);
// The record the run has gathered (whole once KeepRunRecord has kept it). Any thread.
RunRecord RecordOf(RunContext& run);
// The record of the last run that ended (veltrane-bench writes it with --json). GUI thread.
RunRecord LastRunRecord();
// Every line of a record that could not be written ("Could not write TestRecords/NAME.json:
// reason"), in order, since the program started: a tool reports them as they come, though the
// log shows each only at the next run's start. GUI thread.
std::vector<std::string> RecordFailureLines();
// Forgets pending records and the last one (program start in tests).
void ResetRunRecords();
