// Gathering a run's record from the status operations, prompts and FinishRun.
#include "report/RunRecord.h"

#include <cstring>
#include <mutex>

#include "device/Device.h"
#include "device/RegistryText.h"
#include "models/ModelCatalogue.h"
#include "report/RecordFiles.h"
#include "report/RecordReport.h"
#include "report/TestLog.h"

namespace {

// What outlives runs: the records whose folder could not be written yet, and the last record.
// The console's, on the GUI thread; the lock keeps a tool's read of the last record whole.
struct KeptRecords {
  std::mutex lock;
  RunRecord last;
  RecordKeeper keeper;
};

KeptRecords& Kept() {
  static KeptRecords kept;
  return kept;
}

void Identify(RunRecord::Unit& unit, const DeviceEntry& entry) {
  unit.usbIds = std::string(entry.VidPidText, strnlen(entry.VidPidText, sizeof entry.VidPidText));
  unit.description = entry.Description;
  // The combo shows "MODEL (SERIAL)": the model is what stands before the serial.
  const std::size_t open = entry.ModelName.find(" (");
  unit.model = entry.ModelName.substr(0, open);
  unit.identification = SplitFields(entry.Identification);
  const auto& fields = unit.identification;
  if (fields.size() >= 3) unit.serial = fields[2];
  // An LQ40 answers "MODEL;FIRMWARE;SERIAL;..."; the others "FIRMWARE;STATUS;SERIAL;...".
  const auto firmwareField = static_cast<std::size_t>(models::FirmwareField(entry.VidPid()));
  if (fields.size() > firmwareField + 1) unit.firmware = fields[firmwareField];
  for (const char letter : {entry.DriveLetter1.load(), entry.DriveLetter2.load()}) {
    if (letter != 0) unit.drives.emplace_back(1, letter);
  }
  unit.printerQueue = entry.GetPrinterName();
}

std::vector<std::string> LogInClear(std::uint64_t run, std::size_t from) {
  std::vector<std::string> out = RunLogLines(run, from);
  for (std::string& line : out) line = ClearLogText(line);
  return out;
}

}  // namespace

std::string SerialOf(const DeviceEntry& entry) {
  const std::vector<std::string> fields = SplitFields(entry.Identification);
  return fields.size() >= 3 ? fields[2] : std::string();
}

void BeginRunRecord(RunContext& run, const DeviceEntry& entry, const std::string& item,
                    int socket) {
  const std::string computer = platform::ThePlatform().GetComputerNameA();
  const std::string runId = NewRunId();
  const std::string zone = UtcOffsetText(platform::ThePlatform().UtcOffsetMinutes());
  std::vector<std::string> unwritten;
  {
    KeptRecords& kept = Kept();
    std::lock_guard guard(kept.lock);
    unwritten = kept.keeper.TakeFailureLines();
  }
  RunRecorder& r = run.Record;
  {
    std::lock_guard guard(r.lock);
    r.current = RunRecord{};
    r.current.program = std::string(kProgramName) + " " + kProgramVersion;
    r.current.computer = computer;
    r.current.item = item;
    r.current.socket = socket;
    r.current.runId = runId;
    r.current.utcOffset = zone;
    Identify(r.current.unit, entry);
    for (std::size_t i = 0; i < run.Rows.size(); ++i) {
      RecordRow row;
      row.number = static_cast<int>(i) + 1;
      row.caption = run.Rows[i].caption;
      r.current.rows.push_back(std::move(row));
    }
    r.attemptOpen.assign(run.Rows.size(), false);
    r.lastBegun = -1;
    r.logStart = LogLineCount();
    r.active = true;
  }
  // The last run's Test.log was saved before its record was tried: its failure shows here.
  for (const std::string& line : unwritten) WriteLogText(line);
}

void NoteStep(RunContext& run, int index, int icon, const std::string& memoLine) {
  RunRecorder& r = run.Record;
  const platform::LocalTime now = platform::ThePlatform().PeekLocalTime();
  std::lock_guard guard(r.lock);
  if (!r.active || index < 0 || static_cast<std::size_t>(index) >= r.current.rows.size()) return;
  RecordRow& row = r.current.rows[static_cast<std::size_t>(index)];
  auto&& open = r.attemptOpen[static_cast<std::size_t>(index)];
  if (icon < 0) {
    // Sequences call StepBegin on every poll; only the first after an outcome is a new attempt.
    if (!row.begun) row.firstStart = now;
    row.begun = true;
    if (!open) ++row.attempts;
    open = true;
    r.lastBegun = index;
    return;
  }
  if (!row.begun) {  // an outcome without a begin (a follow-up report on the same row)
    row.begun = true;
    row.firstStart = now;
  }
  if (row.attempts == 0) row.attempts = 1;
  open = false;
  row.ended = true;
  row.lastEnd = now;
  row.icon = IconWord(icon);
  if (!memoLine.empty()) row.memo.push_back(memoLine.substr(memoLine.find_first_not_of(' ')));
}

void NotePrompt(RunContext& run, const std::string& text, const char* caption, unsigned flags,
                int answer) {
  RecordPrompt prompt{text, caption != nullptr ? caption : "", ButtonsText(flags), IconText(flags),
                      AnswerText(answer)};
  RunRecorder& r = run.Record;
  std::lock_guard guard(r.lock);
  if (!r.active) return;
  if (r.lastBegun < 0) {
    r.current.promptsOutsideRows.push_back(std::move(prompt));
  } else {
    r.current.rows[static_cast<std::size_t>(r.lastBegun)].prompts.push_back(std::move(prompt));
  }
}

void KeepRunRecord(RunContext& run, const std::string& result) {
  RunRecord record;
  {
    RunRecorder& r = run.Record;
    std::lock_guard guard(r.lock);
    if (!r.active) return;
    r.active = false;
    r.current.result = result;
    r.current.start = run.RunStartTime;
    r.current.end = run.RunEndTime;
    r.current.memo = run.ResultLines;
    r.current.log = LogInClear(run.Id, r.logStart);
    // A platform without a random source: the record's own text names the run.
    if (r.current.runId.empty()) r.current.runId = ContentRunId(RecordJsonText(r.current));
    record = r.current;
  }
  KeptRecords& kept = Kept();
  std::lock_guard guard(kept.lock);
  kept.last = record;
  kept.keeper.Keep(record);
}

RunRecord RecordOf(RunContext& run) {
  std::lock_guard guard(run.Record.lock);
  return run.Record.current;
}

RunRecord LastRunRecord() {
  KeptRecords& kept = Kept();
  std::lock_guard guard(kept.lock);
  return kept.last;
}

std::vector<std::string> RecordFailureLines() {
  KeptRecords& kept = Kept();
  std::lock_guard guard(kept.lock);
  return kept.keeper.EveryFailureLine();
}

void ResetRunRecords() {
  KeptRecords& kept = Kept();
  std::lock_guard guard(kept.lock);
  kept.last = RunRecord{};
  kept.keeper = RecordKeeper{};
}
