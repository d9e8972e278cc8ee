// The step list and the status operations. Each operation runs as one piece on the GUI thread
// (through the toolkit's invoke), so the icon, the memo and the log never disagree, and the
// worker waits until its report has taken effect.
#include "console/StepList.h"

#include <cstdio>

#include "console/RunRecord.h"
#include "console/TestLog.h"
#include "device/CommandLink.h"
#include "platform/Platform.h"
#include "ui/Controls.h"
#include "ui/Toolkit.h"

std::atomic<bool> HeadingLogged{false};
std::atomic<bool> RetryPending{false};
std::atomic<int> RetryCount{0};

namespace {

// Touched on the GUI thread only: every status operation reads them inside its invoke.
ui::ListView* stepView = nullptr;
ui::Memo* resultMemo = nullptr;
std::vector<RunRow> runRows;  // the run under way (or the last one)
bool viewShowsRun = true;     // false once the tested unit left during the run

// The worker's own: the row of the step it is on, and whether its unit stopped answering.
std::atomic<int> currentRow{-1};
std::atomic<bool> linkLost{false};
std::atomic<RunEnding> lastEnding{RunEnding::kCompleted};

bool InRunRows(int index) {
  return index >= 0 && static_cast<std::size_t>(index) < runRows.size();
}

std::string RowCaption(int index) {
  if (InRunRows(index)) return runRows[static_cast<std::size_t>(index)].caption;
  if (!viewShowsRun || stepView == nullptr || index < 0 || index >= stepView->Count()) return {};
  return stepView->Items()[static_cast<std::size_t>(index)].caption;
}

int RowIcon(int index) {
  if (InRunRows(index)) return runRows[static_cast<std::size_t>(index)].icon;
  if (!viewShowsRun || stepView == nullptr || index < 0 || index >= stepView->Count()) {
    return kIconNone;
  }
  return stepView->Items()[static_cast<std::size_t>(index)].imageIndex;
}

int RowCount() {
  if (!runRows.empty()) return static_cast<int>(runRows.size());
  return viewShowsRun && stepView != nullptr ? stepView->Count() : 0;
}

void SetRowImage(int index, int image) {
  if (InRunRows(index)) runRows[static_cast<std::size_t>(index)].icon = image;
  if (viewShowsRun && stepView != nullptr) stepView->SetImageIndex(index, image);
}

void AppendResultLine(const std::string& line) {
  if (resultMemo != nullptr) resultMemo->Append(line);
}

// The log ends with a separator when the 2nd to the 26th character of its last message are all
// one character. The scrambling maps equal characters to equal characters within a line, so the
// stored line answers as the plain one would.
bool LogEndsWithSeparator() {
  const std::string last = LastLogLine();
  const std::size_t first = kLogPrefixLength + 1;  // 2nd character of the message
  const std::size_t count = 25;
  if (last.size() < first + count) return false;
  for (std::size_t i = first + 1; i < first + count; ++i) {
    if (last[i] != last[first]) return false;
  }
  return true;
}

void RunOnGui(const std::function<void()>& fn) {
  ui::TheToolkit().Invoke(fn);
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

bool LoadStepList(ui::ListView& listView, const char* resourceName) {
  const auto bytes = platform::ThePlatform().LoadItemResource(resourceName);
  if (bytes.empty()) return false;
  for (const std::string& row :
       SplitStepList(reinterpret_cast<const char*>(bytes.data()), bytes.size())) {
    listView.AddItem(row, kIconNone);
  }
  return true;
}

void AttachStepList(ui::ListView* listView) {
  stepView = listView;
  // A new window (or none) shows no run yet: the last run's rows must not lend it captions.
  runRows.clear();
  viewShowsRun = true;
}

void AttachResultLines(ui::Memo* resultLines) {
  resultMemo = resultLines;
}

void BeginRunRows() {
  runRows.clear();
  viewShowsRun = true;
  currentRow = -1;
  linkLost = false;
  lastEnding = RunEnding::kCompleted;
  if (stepView == nullptr) return;
  for (const auto& item : stepView->Items()) runRows.push_back({item.caption, kIconNone});
}

void SeparateRunFromView() {
  viewShowsRun = false;
}

std::vector<RunRow> RunRows() {
  return runRows;
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

void NoteLinkLost() {
  linkLost = true;
}

void NoteCurrentRow(int index) {
  currentRow = index;
}

RunEnding LastRunEnding() {
  return lastEnding;
}

void MarkRunEnding(RunEnding ending) {
  lastEnding = ending;
  if (ending == RunEnding::kCompleted) return;
  const int row = currentRow;
  if (row < 0) return;
  int icon = kIconNone;
  int count = 0;
  RunOnGui([&] {
    icon = RowIcon(row);
    count = RowCount();
  });
  // A failure mark on the step already says the run did not pass.
  if (icon == kIconFailed) return;
  int target = row;
  if (ending == RunEnding::kCancelled && icon != kIconNone && row + 1 < count) target = row + 1;
  // A row that has been closed (passed or warned) gets a heading of its own again.
  if (target != row || icon != kIconNone) HeadingLogged = false;
  StepBegin(target);
  StepFailed(target, ending == RunEnding::kLinkLost ? kStoppedAnswering : kTestCancelled);
}

void StepBegin(int index) {
  currentRow = index;
  NoteStep(index, -1, {});
  if (HeadingLogged) return;
  std::string heading;
  RunOnGui([&] {
    if (!LogEndsWithSeparator()) WriteLogText(kLogSeparator);
    if (index != 0) AppendResultLine(kResultSeparator);
    const std::string caption = RowCaption(index);
    AppendResultLine(Format("%2d. %s", index + 1, caption));
    heading = Format("[%d] %s", index + 1, caption);
    WriteLogText(heading);
  });
  LastReply = heading;
  HeadingLogged = true;
}

void StepPassed(int index, const char* text) {
  if (linkLost) {
    // The unit stopped answering inside this step: it never finished it.
    StepFailed(index, kStoppedAnswering);
    return;
  }
  const bool noLine =
      text != nullptr && std::string_view(text).find("NOLINE") != std::string_view::npos;
  const std::string okLine = std::string("    [OK] ") + kTaskFulfilled;
  RunOnGui([&] {
    SetRowImage(index, kIconPassed);
    if (text != nullptr && !noLine) WriteLogText(text);
    if (!noLine) WriteLogText(kLogSeparator);
    AppendResultLine(okLine);
  });
  NoteStep(index, kIconPassed, okLine);
  LastReply = okLine;
  RetryPending = false;
  RetryCount = 0;
  HeadingLogged = false;
}

void StepFailed(int index, const std::string& message) {
  currentRow = index;
  const std::string line = "    [ERROR] " + message;
  RunOnGui([&] {
    SetRowImage(index, kIconFailed);
    AppendResultLine(line);
    WriteLogText(line);
  });
  NoteStep(index, kIconFailed, line);
  RetryPending = false;
  RetryCount = 0;
}

void StepWarned(int index, const std::string& message) {
  currentRow = index;
  const std::string line = "    [WARNING] " + message;
  RunOnGui([&] {
    SetRowImage(index, kIconWarned);
    AppendResultLine(line);
  });
  NoteStep(index, kIconWarned, line);
  LastReply = line;
  RetryPending = false;
  RetryCount = 0;
  HeadingLogged = false;
}
