// Gathering a run's record from the console's status operations, prompts and FinishRun.
#include "report/RunRecord.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "report/RecordFiles.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "device/Device.h"
#include "device/RegistryText.h"
#include "models/ModelCatalogue.h"
#include "ui/Controls.h"
#include "ui/Toolkit.h"

namespace {

struct Recorder {
  std::mutex lock;
  bool active = false;
  RunRecord current;
  std::size_t logStart = 0;
  int lastBegun = -1;
  std::vector<bool> attemptOpen;  // per row: begun since its last outcome
  RunRecord last;
  RecordKeeper keeper;
};

Recorder& TheRecorder() {
  static Recorder recorder;
  return recorder;
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

std::vector<std::string> LogInClear(std::size_t from) {
  std::vector<std::string> out;
  const std::vector<std::string> lines = LogLinesSnapshot();
  for (std::size_t i = from; i < lines.size(); ++i) out.push_back(ClearLogText(lines[i]));
  return out;
}

}  // namespace

std::string ClearLogText(const std::string& line) {
  if (line.size() < kLogPrefixLength) return line;
  const std::string_view prefix(line.data(), kLogPrefixLength);
  return std::string(prefix) + UnscrambleLogText(std::string_view(line).substr(kLogPrefixLength),
                                                 LogOffsetForPrefix(prefix));
}

std::string ButtonsText(unsigned flags) {
  switch (flags & ui::kMbTypeMask) {
    case ui::kMbOk:
      return "OK";
    case ui::kMbOkCancel:
      return "OK/Cancel";
    case ui::kMbRetryCancel:
      return "Retry/Cancel";
    case ui::kMbCancelTryContinue:
      return "Cancel/Try Again/Continue";
    default:
      return "?";
  }
}

std::string IconText(unsigned flags) {
  switch (flags & ui::kMbIconMask) {
    case ui::kMbIconError:
      return "error";
    case ui::kMbIconWarning:
      return "warning";
    case ui::kMbIconInformation:
      return "information";
    default:
      return "none";
  }
}

std::string AnswerText(int answer) {
  switch (answer) {
    case ui::kIdOk:
      return "OK";
    case ui::kIdCancel:
      return "Cancel";
    case ui::kIdRetry:
      return "Retry";
    case ui::kIdTryAgain:
      return "Try Again";
    case ui::kIdContinue:
      return "Continue";
    default:
      return std::to_string(answer);
  }
}

const char* IconWord(int imageIndex) {
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

void BeginRunRecord(const DeviceEntry& entry, const std::string& item, const ui::ListView& rows) {
  std::vector<std::string> captions;
  for (const auto& row : rows.Items()) captions.push_back(row.caption);
  auto& os = platform::ThePlatform();
  const std::string computer = os.GetComputerNameA();
  Recorder& r = TheRecorder();
  std::vector<std::string> unwritten;
  {
    std::lock_guard guard(r.lock);
    r.current = RunRecord{};
    r.current.program = std::string(kProgramName) + " " + kProgramVersion;
    r.current.computer = computer;
    r.current.item = item;
    Identify(r.current.unit, entry);
    for (std::size_t i = 0; i < captions.size(); ++i) {
      RecordRow row;
      row.number = static_cast<int>(i) + 1;
      row.caption = captions[i];
      r.current.rows.push_back(std::move(row));
    }
    r.attemptOpen.assign(captions.size(), false);
    r.lastBegun = -1;
    r.logStart = LogLineCount();
    r.active = true;
    unwritten = r.keeper.TakeFailureLines();
  }
  // The last run's Test.log was saved before its record was tried: its failure shows here.
  for (const std::string& line : unwritten) WriteLogText(line);
}

void NoteStep(int index, int icon, const std::string& memoLine) {
  Recorder& r = TheRecorder();
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

void NotePrompt(const std::string& text, const char* caption, unsigned flags, int answer) {
  RecordPrompt prompt{text, caption != nullptr ? caption : "", ButtonsText(flags), IconText(flags),
                      AnswerText(answer)};
  Recorder& r = TheRecorder();
  std::lock_guard guard(r.lock);
  if (!r.active) return;
  if (r.lastBegun < 0) {
    r.current.promptsOutsideRows.push_back(std::move(prompt));
  } else {
    r.current.rows[static_cast<std::size_t>(r.lastBegun)].prompts.push_back(std::move(prompt));
  }
}

void KeepRunRecord(const std::string& result, const std::vector<std::string>& memo,
                   const platform::LocalTime& start, const platform::LocalTime& end) {
  Recorder& r = TheRecorder();
  std::lock_guard guard(r.lock);
  if (!r.active) return;
  r.active = false;
  r.current.result = result;
  r.current.start = start;
  r.current.end = end;
  r.current.memo = memo;
  r.current.log = LogInClear(r.logStart);
  r.last = r.current;
  r.keeper.Keep(r.current);
}

RunRecord LastRunRecord() {
  Recorder& r = TheRecorder();
  std::lock_guard guard(r.lock);
  return r.last;
}

void ResetRunRecords() {
  Recorder& r = TheRecorder();
  std::lock_guard guard(r.lock);
  r.active = false;
  r.current = RunRecord{};
  r.last = RunRecord{};
  r.keeper = RecordKeeper{};
}

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

long long EpochSeconds(const platform::LocalTime& t) {
  return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

}  // namespace

long long SecondsBetween(const platform::LocalTime& a, const platform::LocalTime& b) {
  return EpochSeconds(b) - EpochSeconds(a);
}

std::string IsoTime(const platform::LocalTime& t) {
  if (t.year == 0) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.hundredths);
  return text;
}
