// Records rebuilt from a saved "Test.log" (veltrane-log --json and --html): kept apart from the
// record's writers so that the program, which never reads a log back, carries no stream code.
#include <cstdint>
#include <cstdlib>
#include <istream>
#include <map>
#include <optional>
#include <utility>

#include "models/ModelCatalogue.h"
#include "report/LogReader.h"
#include "report/RecordReport.h"
#include "report/TestLog.h"

namespace {

platform::LocalTime PrefixTime(std::string_view line) {
  // "YYYY-MM-DD HH:MM:SS" with blanks allowed where IsLogPrefix allows them.
  auto number = [&](std::size_t at, std::size_t size) {
    return static_cast<int>(std::strtol(std::string(line.substr(at, size)).c_str(), nullptr, 10));
  };
  platform::LocalTime t;
  t.year = number(0, 4);
  t.month = number(5, 2);
  t.day = number(8, 2);
  t.hour = number(11, 2);
  t.minute = number(14, 2);
  t.second = number(17, 2);
  return t;
}

// "[n] caption": a step heading; n is returned, 0 when the message is none.
int HeadingNumber(std::string_view message, std::string* caption) {
  if (message.size() < 4 || message[0] != '[') return 0;
  const std::size_t close = message.find("] ");
  if (close == std::string_view::npos || close < 2 || close > 4) return 0;
  int n = 0;
  for (std::size_t i = 1; i < close; ++i) {
    if (message[i] < '0' || message[i] > '9') return 0;
    n = n * 10 + (message[i] - '0');
  }
  *caption = std::string(message.substr(close + 2));
  return n;
}

void IdentifyFromLog(RunRecord::Unit& unit, std::string_view message) {
  std::size_t at = message.find("AT+? = ");
  std::size_t skip = 7;
  if (at == std::string_view::npos) {
    at = message.find("LQ40_CMD[1] = ");
    skip = 14;
  }
  if (at == std::string_view::npos || !unit.identification.empty()) return;
  std::string reply(message.substr(at + skip));
  std::size_t start = 0;
  while (start <= reply.size()) {
    std::size_t end = reply.find(';', start);
    if (end == std::string::npos) end = reply.size();
    if (end > start) unit.identification.push_back(reply.substr(start, end - start));
    start = end + 1;
  }
  const auto& f = unit.identification;
  if (f.size() < 3) return;
  unit.serial = f[2];
  const bool lq40 = skip == 14;
  unit.firmware = lq40 ? f[1] : f[0];
  if (lq40) {
    unit.model = f[0];
  } else if (const models::ModelRow* row = models::ModelOfFirmwareCode(f[0])) {
    unit.model = row->name;  // a firmware code of its own ("RM82C ...")
  } else {
    unit.model = f[0].substr(0, f[0].find(' '));
  }
}

void CloseLogRun(RunRecord& run) {
  bool failed = false;
  for (const auto& row : run.rows) failed = failed || row.icon == "failed";
  run.result = failed ? "Error" : run.rows.empty() ? "None" : "Success";
}

// A run being read back: its record and the step row its lines report on now.
struct LogRun {
  RunRecord record;
  int row = -1;  // index into record.rows, -1 before the first heading
};

// One line of a run: a heading opens a row; the identification and the row's outcome follow.
void ReadRunLine(LogRun& run, const std::string& clear, std::string_view message,
                 const platform::LocalTime& time) {
  run.record.log.push_back(clear);
  run.record.end = time;
  std::string caption;
  if (const int n = HeadingNumber(message, &caption); n != 0) {
    RecordRow& row = run.record.rows.emplace_back();
    run.row = static_cast<int>(run.record.rows.size()) - 1;
    row.number = n;
    row.caption = caption;
    row.begun = true;
    row.attempts = 1;
    row.firstStart = time;
    return;
  }
  if (run.row < 0) return;
  RecordRow& row = run.record.rows[static_cast<std::size_t>(run.row)];
  IdentifyFromLog(run.record.unit, message);
  if (message.starts_with("    [ERROR] ")) {
    row.icon = "failed";
    row.memo.emplace_back(message.substr(4));
  } else if (message == kLogSeparator && row.icon.empty()) {
    row.icon = "passed";
    row.memo.emplace_back(std::string("[OK] ") + "The task has been fulfilled.");
  }
  if (!row.icon.empty()) {
    row.ended = true;
    row.lastEnd = time;
  }
}

// Sorts a log's lines to their runs, in the order the runs started. A run that never had
// company writes untagged lines: the last one opened so is "the lone run", and the untagged lines
// after it are its own until the next one opens (between runs, discovery's lines go with the run
// before, as they always have). Once a tagged line is read, runs are under way together: each
// tagged line goes to the run of its tag (a lone run takes its tag with the first tagged line of
// a tag not yet seen), and untagged lines are the station's, in no record.
class LogRunSorter {
 public:
  // The run the line belongs to, opening one at its first line; none for the station's lines
  // (those before the first run are kept for it).
  std::optional<std::size_t> RunOfLine(const std::optional<LogTagOfMessage>& tag, bool opens,
                                       const platform::LocalTime& time, const std::string& clear) {
    if (opens) return Open(tag, time);
    if (tag) return Tagged(tag->tag, time);
    if (lone_) return lone_;
    if (runs_.empty()) between_.push_back(clear);
    return std::nullopt;
  }
  std::vector<LogRun>& Runs() { return runs_; }

 private:
  std::size_t Open(const std::optional<LogTagOfMessage>& tag, const platform::LocalTime& time) {
    const std::size_t at = runs_.size();
    runs_.emplace_back();
    RunRecord& record = runs_.back().record;
    record.fromLog = true;
    record.start = time;
    if (runs_.size() == 1) record.log = std::exchange(between_, {});
    if (tag) {
      byTag_[tag->tag] = at;
      if (lone_) awaitingTag_ = *lone_;
      lone_.reset();
    } else {
      lone_ = at;
      awaitingTag_ = kNoRun;
    }
    return at;
  }

  std::size_t Tagged(const std::string& tag, const platform::LocalTime& time) {
    if (lone_) awaitingTag_ = *lone_;
    lone_.reset();
    if (const auto found = byTag_.find(tag); found != byTag_.end()) return found->second;
    if (awaitingTag_ != kNoRun) {
      const std::size_t at = byTag_[tag] = awaitingTag_;
      awaitingTag_ = kNoRun;
      return at;
    }
    // A run whose opening the log does not hold.
    const std::size_t at = byTag_[tag] = runs_.size();
    runs_.emplace_back();
    runs_.back().record.fromLog = true;
    runs_.back().record.start = time;
    return at;
  }

  // The lone run, once runs go together (kNoRun: none). A plain index: the optimiser takes an
  // optional's value here for maybe unset.
  static constexpr std::size_t kNoRun = SIZE_MAX;
  std::vector<LogRun> runs_;
  std::map<std::string, std::size_t> byTag_;
  std::optional<std::size_t> lone_;  // where untagged lines go
  std::size_t awaitingTag_ = kNoRun;
  std::vector<std::string> between_;  // lines before the first run's host report
};

}  // namespace

std::vector<RunRecord> RecordsFromLog(std::istream& in) {
  LogRunSorter sorter;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!IsLogPrefix(line)) continue;
    std::string clear = ClearLogText(line);
    const platform::LocalTime time = PrefixTime(line);
    const std::optional<LogTagOfMessage> tag =
        LogTagOf(std::string_view(clear).substr(kLogPrefixLength));
    // A run's record holds its lines as the run alone would have written them: without a tag.
    if (tag) clear.erase(kLogPrefixLength, tag->length);
    const std::string_view message = std::string_view(clear).substr(kLogPrefixLength);
    const bool opens = message == "=======Get CPU Information==============";
    if (const std::optional<std::size_t> at = sorter.RunOfLine(tag, opens, time, clear)) {
      ReadRunLine(sorter.Runs()[*at], clear, message, time);
    }
  }
  std::vector<RunRecord> records;
  records.reserve(sorter.Runs().size());
  for (LogRun& run : sorter.Runs()) {
    CloseLogRun(run.record);
    // No run id was kept in the log: the record's own text names it, the same at every rebuild.
    run.record.runId = ContentRunId(RecordJsonText(run.record));
    records.push_back(std::move(run.record));
  }
  return records;
}
