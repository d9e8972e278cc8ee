// The step list and the status operations. Each operation runs as one piece on the GUI thread
// (through the toolkit's invoke), so the icon, the memo and the log never disagree, and the
// worker waits until its report has taken effect.
#include "report/StepList.h"

#include <cstdio>

#include "platform/Platform.h"
#include "report/RunRecord.h"
#include "report/TestLog.h"
#include "ui/Toolkit.h"

namespace {

bool InRunRows(const RunContext& run, int index) {
  return index >= 0 && static_cast<std::size_t>(index) < run.Rows.size();
}

std::string RowCaption(const RunContext& run, int index) {
  return InRunRows(run, index) ? run.Rows[static_cast<std::size_t>(index)].caption : std::string();
}

int RowIcon(const RunContext& run, int index) {
  return InRunRows(run, index) ? run.Rows[static_cast<std::size_t>(index)].icon : kIconNone;
}

int RowCount(const RunContext& run) {
  return static_cast<int>(run.Rows.size());
}

void SetRowImage(RunContext& run, int index, int image) {
  if (InRunRows(run, index)) run.Rows[static_cast<std::size_t>(index)].icon = image;
}

void AppendResultLine(RunContext& run, const std::string& line) {
  run.ResultLines.push_back(line);
  if (run.ResultLineSink) run.ResultLineSink(line);
}

// The log ends with a separator when the 2nd to the 26th character of its last message are all
// one character. The scrambling maps equal characters to equal characters within a line, so the
// stored line answers as the plain one would.
bool LogEndsWithSeparator(RunContext& run) {
  std::size_t from = 0;
  {
    std::lock_guard guard(run.Record.lock);
    from = run.Record.logStart;
  }
  const std::string last = LastLogLineOf(run.Id, from);
  const std::size_t first = kLogPrefixLength + 1;  // 2nd character of the message
  const std::size_t count = 25;
  if (last.size() < first + count) return false;
  for (std::size_t i = first + 1; i < first + count; ++i) {
    if (last[i] != last[first]) return false;
  }
  return true;
}

// The window acts for the run: its log lines are the run's, and it may show where the run
// stands once the operation has taken effect.
void RunOnGui(RunContext& run, const std::function<void()>& fn, bool marks = true) {
  ui::TheToolkit().Invoke([&] {
    ScopedLogOwner owner(run.Id);
    fn();
    if (marks && run.Host != nullptr) run.Host->RunChanged(run);
  });
}

std::string Format(const char* format, int number, const std::string& text) {
  char buffer[320];
  std::snprintf(buffer, sizeof buffer, format, number, text.c_str());
  return buffer;
}

}  // namespace

std::vector<std::string> SplitStepList(const char* bytes, std::size_t size) {
  std::vector<std::string> rows;
  std::string piece;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = bytes[i];
    if (c == '\r' || c == '\n') {
      if (!piece.empty()) rows.push_back(piece);
      piece.clear();
    } else {
      piece.push_back(c);
    }
  }
  if (!piece.empty()) rows.push_back(piece);
  return rows;
}

std::vector<std::string> LoadStepList(const char* resourceName) {
  const auto bytes = platform::ThePlatform().LoadItemResource(resourceName);
  return SplitStepList(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void BeginRunRows(RunContext& run, const char* resourceName) {
  run.Rows.clear();
  run.ResultLines.clear();
  for (std::string& row : LoadStepList(resourceName))
    run.Rows.push_back({std::move(row), kIconNone});
}

const char* ResultWordOf(const std::vector<RunRow>& rows) {
  if (rows.empty()) return "None";
  bool warned = false;
  for (const RunRow& row : rows) {
    if (row.icon == kIconFailed) return "Error";
    if (row.icon == kIconWarned) warned = true;
  }
  return warned ? "Warning" : "Success";
}

void NoteLinkLost(RunContext& run) {
  run.LinkLost = true;
}

void NoteCurrentRow(RunContext& run, int index) {
  run.CurrentRow = index;
}

void MarkRunEnding(RunContext& run, RunEnding ending) {
  run.Ending = ending;
  if (ending == RunEnding::kCompleted) return;
  const int row = run.CurrentRow;
  if (row < 0) return;
  int icon = kIconNone;
  int count = 0;
  RunOnGui(
      run,
      [&] {
        icon = RowIcon(run, row);
        count = RowCount(run);
      },
      false);
  // A failure mark on the step already says the run did not pass.
  if (icon == kIconFailed) return;
  int target = row;
  if (icon != kIconNone) {
    // A row that passed or warned keeps its mark: the ending goes to the row the run would have
    // run next (none after the last row).
    if (row + 1 >= count) return;
    target = row + 1;
  }
  // A row that has been closed (passed or warned) gets a heading of its own again.
  if (target != row || icon != kIconNone) run.HeadingLogged = false;
  StepBegin(run, target);
  StepFailed(run, target, ending == RunEnding::kLinkLost ? kStoppedAnswering : kTestCancelled);
}

void StepBegin(RunContext& run, int index) {
  run.CurrentRow = index;
  NoteStep(run, index, -1, {});
  if (run.HeadingLogged) return;
  std::string heading;
  RunOnGui(run, [&] {
    if (!LogEndsWithSeparator(run)) WriteLogText(kLogSeparator);
    if (index != 0) AppendResultLine(run, kResultSeparator);
    const std::string caption = RowCaption(run, index);
    AppendResultLine(run, Format("%2d. %s", index + 1, caption));
    heading = Format("[%d] %s", index + 1, caption);
    WriteLogText(heading);
  });
  run.HeadingLogged = true;
}

void StepPassed(RunContext& run, int index, const char* text, RowLog rowLog) {
  if (run.LinkLost) {
    // The unit stopped answering inside this step: it never finished it.
    StepFailed(run, index, kStoppedAnswering);
    return;
  }
  // A text holding "NOLINE" is the older form of kLeaveOpen, kept for the steps written with it.
  const bool noLine =
      rowLog == RowLog::kLeaveOpen ||
      (text != nullptr && std::string_view(text).find("NOLINE") != std::string_view::npos);
  const std::string okLine = std::string("    [OK] ") + kTaskFulfilled;
  RunOnGui(run, [&] {
    SetRowImage(run, index, kIconPassed);
    if (text != nullptr && !noLine) WriteLogText(text);
    if (!noLine) WriteLogText(kLogSeparator);
    AppendResultLine(run, okLine);
  });
  NoteStep(run, index, kIconPassed, okLine);
  run.RetryPending = false;
  run.RetryCount = 0;
  run.HeadingLogged = false;
}

void StepFailed(RunContext& run, int index, const std::string& message) {
  run.CurrentRow = index;
  const std::string line = "    [ERROR] " + message;
  RunOnGui(run, [&] {
    SetRowImage(run, index, kIconFailed);
    AppendResultLine(run, line);
    WriteLogText(line);
  });
  NoteStep(run, index, kIconFailed, line);
  run.RetryPending = false;
  run.RetryCount = 0;
}

void StepWarned(RunContext& run, int index, const std::string& message) {
  run.CurrentRow = index;
  const std::string line = "    [WARNING] " + message;
  RunOnGui(run, [&] {
    SetRowImage(run, index, kIconWarned);
    AppendResultLine(run, line);
  });
  NoteStep(run, index, kIconWarned, line);
  run.RetryPending = false;
  run.RetryCount = 0;
  run.HeadingLogged = false;
}
