// Records rebuilt from a saved "Test.log" (veltrane-log --json and --html): kept apart from the
// record's writers so that the program, which never reads a log back, carries no stream code.
#include <cstdlib>
#include <istream>

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
  } else if (f[0].starts_with("RM82C")) {
    unit.model = "TM36K";
  } else if (f[0].starts_with("RM83P")) {
    unit.model = "TM36P";
  } else {
    unit.model = f[0].substr(0, f[0].find(' '));
  }
}

void CloseLogRun(std::vector<RunRecord>& runs) {
  if (runs.empty()) return;
  RunRecord& run = runs.back();
  bool failed = false;
  for (const auto& row : run.rows) failed = failed || row.icon == "failed";
  run.result = failed ? "Error" : run.rows.empty() ? "None" : "Success";
}

}  // namespace

std::vector<RunRecord> RecordsFromLog(std::istream& in) {
  std::vector<RunRecord> runs;
  std::vector<std::string> between;  // lines before a run's host report
  RecordRow* row = nullptr;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!IsLogPrefix(line)) continue;
    const std::string clear = ClearLogText(line);
    const std::string_view message = std::string_view(clear).substr(kLogPrefixLength);
    const platform::LocalTime time = PrefixTime(line);
    if (message == "=======Get CPU Information==============") {
      CloseLogRun(runs);
      runs.emplace_back();
      runs.back().fromLog = true;
      runs.back().start = time;
      runs.back().log = std::move(between);
      between.clear();
      row = nullptr;
    }
    if (runs.empty()) {
      between.push_back(clear);
      continue;
    }
    RunRecord& run = runs.back();
    run.log.push_back(clear);
    run.end = time;
    std::string caption;
    if (const int n = HeadingNumber(message, &caption); n != 0) {
      run.rows.emplace_back();
      row = &run.rows.back();
      row->number = n;
      row->caption = caption;
      row->begun = true;
      row->attempts = 1;
      row->firstStart = time;
      continue;
    }
    if (row == nullptr) continue;
    IdentifyFromLog(run.unit, message);
    if (message.starts_with("    [ERROR] ")) {
      row->icon = "failed";
      row->memo.emplace_back(message.substr(4));
    } else if (message == kLogSeparator && row->icon.empty()) {
      row->icon = "passed";
      row->memo.emplace_back(std::string("[OK] ") + "The task has been fulfilled.");
    }
    if (!row->icon.empty()) {
      row->ended = true;
      row->lastEnd = time;
    }
  }
  CloseLogRun(runs);
  return runs;
}
