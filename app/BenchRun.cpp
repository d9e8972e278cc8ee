// One operator run of veltrane-bench.
#include "app/BenchRun.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>

#include "app/BenchCli.h"
#include "console/Unit1.h"
#include "console/Unit2.h"
#include "device/Device.h"
#include "report/RecordJson.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "ui/Toolkit.h"
#include "ui/headless/HeadlessToolkit.h"

namespace {

// Reads a run's result lines: a numbered heading names the current step; an outcome line closes
// it. This prints each step's outcome the moment the worker reports it, after `tag` (the run's
// item when several runs share the output).
class ProgressPrinter {
 public:
  ProgressPrinter(std::ostream& out, std::string tag) : out_(out), tag_(std::move(tag)) {}

  // GUI thread, as the run adds the line. The rows are the run's own, as Start found them: a
  // unit that leaves during the run takes its list with it.
  void Take(const UnitRun& socket, const std::string& line) {
    // A heading is "%2d. %s": a right-aligned step number and a dot.
    if (line.size() > 3 && line[2] == '.' && std::isdigit(static_cast<unsigned char>(line[1]))) {
      row_ = static_cast<int>(std::strtol(line.substr(0, 2).c_str(), nullptr, 10));
      return;
    }
    static const std::pair<const char*, const char*> kOutcomes[] = {
        {"    [OK] ", "passed"}, {"    [ERROR] ", "failed"}, {"    [WARNING] ", "warned"}};
    const RunContext* run = socket.Run();
    for (const auto& [prefix, word] : kOutcomes) {
      const std::string p = prefix;
      if (line.compare(0, p.size(), p) != 0) continue;
      const int rows = run != nullptr ? static_cast<int>(run->Rows.size()) : 0;
      std::string caption;
      if (row_ >= 1 && row_ <= rows)
        caption = run->Rows[static_cast<std::size_t>(row_ - 1)].caption;
      char head[32];
      std::snprintf(head, sizeof head, "[%2d/%d] ", row_, rows);
      out_ << tag_ << head << caption << " ... " << word;
      if (std::string(word) != "passed") out_ << ": " << line.substr(p.size());
      if (socket.entryLeft) out_ << " (the unit has left; its list was emptied)";
      out_ << "\n";
    }
  }

 private:
  std::ostream& out_;
  std::string tag_;
  int row_ = 0;
};

// Prints each prompt as it is answered and notes whether its answer came from the script.
void WatchPrompts(ui::headless::HeadlessToolkit& toolkit, std::ostream& out,
                  const std::function<BenchRun*(const std::string& origin)>& runOf,
                  const std::function<std::string(const std::string& origin)>& tagOf) {
  toolkit.SetPromptObserver([&out, runOf, tagOf](const ui::headless::PromptRecord& p) {
    out << tagOf(p.origin) << "  Prompt (" << p.caption << ", " << ButtonsText(p.flags) << ", "
        << IconText(p.flags) << "): " << p.text << " -> " << AnswerText(p.answer) << "\n";
    BenchRun* run = runOf(p.origin);
    if (run == nullptr) return;
    run->answers.push_back({!p.defaulted, p.unfitting});
    if (p.unfitting == 0) return;
    // A mistyped script would otherwise end the run early without a word.
    ++run->unfittingAnswers;
    std::cerr << "veltrane-bench: run " << run->record.item << ": the answer "
              << AnswerText(p.unfitting) << " is no button of the box \"" << p.text << "\" ("
              << ButtonsText(p.flags) << "); it got " << AnswerText(p.answer) << "\n";
  });
}

// The combo item as the operator reads it: the unit's item, or the combo's own text (no unit).
std::string ItemName(const TForm1& form, int index) {
  const std::vector<std::string> names = form.ItemNames();
  return index >= 0 && index < static_cast<int>(names.size())
             ? names[static_cast<std::size_t>(index)]
             : std::string();
}

}  // namespace

BenchRun RunItem(TForm1& form, TForm2& dialog, ui::headless::HeadlessToolkit& toolkit, int index,
                 const RunClocks& clocks, std::ostream& out) {
  BenchRun run;
  form.ComboBox1.PickItem(index);
  run.record.item = ItemName(form, index);
  if (SelectedDevice != nullptr) run.record.unit.model = SelectedDevice->ModelName;
  out << "=== " << run.record.item << " ===\n";
  if (!form.Button1.Enabled()) {
    out << "Start is disabled for this device.\n";
    return run;
  }
  const int showings = toolkit.ModalShowings();
  ProgressPrinter progress(out, "");
  form.onResultLine = [&progress](const UnitRun& socket, const std::string& line) {
    progress.Take(socket, line);
  };
  // A box of no run ("Cannot create file") is the program's: none of the run's answers.
  WatchPrompts(
      toolkit, out, [&run](const std::string& origin) { return origin.empty() ? nullptr : &run; },
      [](const std::string&) { return std::string(); });
  const auto wallStart = std::chrono::steady_clock::now();
  const std::int64_t virtualStart = clocks.nowMs();
  const std::int64_t waitedStart = clocks.waitedMs();

  run.started = true;
  toolkit.RunAsWindowWork([&] { form.Button1.Click(); });
  toolkit.RunUntil([&] { return form.AllRunsHandled(); });

  run.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  run.virtualSeconds = static_cast<double>(clocks.nowMs() - virtualStart) / 1000.0;
  run.pauseSeconds = static_cast<double>(clocks.waitedMs() - waitedStart) / 1000.0;
  form.onResultLine = nullptr;
  toolkit.SetPromptObserver(nullptr);

  // Every run that Start began ends in FinishRun, which keeps the record before it saves
  // "Test.log": the record is the run's even when the log could not be saved and no result
  // dialog followed.
  run.record = LastRunRecord();
  if (toolkit.ModalShowings() > showings) {
    PrintResultDialog(out, dialog);
  } else {
    out << "The run ended without a result dialog.\n";
  }
  return run;
}

namespace {

// Every chosen unit starts at the same moment, one act of the operator's: Start all when it is
// there and every unit is chosen, else the chosen units at once, tagged as Start all tags. Each
// run notes whether its unit started.
void StartUnitsAtOnce(TForm1& form, ui::headless::HeadlessToolkit& toolkit,
                      const std::vector<int>& indexes, std::vector<BenchRun>& runs) {
  const bool everyUnit = form.StartAllButton.Visible() && indexes.size() == DeviceList.size();
  toolkit.RunAsWindowWork([&] {
    if (everyUnit) {
      form.StartAllButton.Click();
    } else {
      std::vector<int> chosen = indexes;
      std::ranges::sort(chosen);
      form.StartUnits(chosen);
    }
    for (std::size_t k = 0; k < indexes.size(); ++k) {
      const auto at = static_cast<std::size_t>(indexes[k]);
      const TForm1& window = form;
      const UnitRun* socket =
          at < DeviceList.size() ? window.SocketOf(DeviceList[at].get()) : nullptr;
      runs[k].started = socket != nullptr && socket->running;
    }
  });
}

// Each run's dialog in the order the units were chosen, then the dialog that closed the
// session (when one was shown).
void PrintRunsAtOnce(std::ostream& out, TForm2& dialog, const std::vector<BenchRun>& runs,
                     bool dialogShown) {
  for (const BenchRun& run : runs) {
    out << "=== " << run.record.item << " ===\n";
    if (!run.started) {
      out << "Start is disabled for this device.\n";
      continue;
    }
    PrintRecordDialog(out, dialog, run.record, DeviceList.size() > 1);
  }
  if (!dialogShown) {
    out << "The runs ended without a result dialog.\n";
  } else {
    // The dialog that closed the session, with how its other runs ended.
    out << "=== The result dialog ===\n";
    PrintResultDialog(out, dialog);
  }
}

}  // namespace

std::vector<BenchRun> RunItemsAtOnce(TForm1& form, TForm2& dialog,
                                     ui::headless::HeadlessToolkit& toolkit,
                                     const std::vector<int>& indexes, const RunClocks& clocks,
                                     std::ostream& out) {
  std::vector<BenchRun> runs(indexes.size());
  std::map<std::string, std::size_t> byItem;  // a run's item to its place in `runs`
  std::map<std::string, ProgressPrinter> printers;
  for (std::size_t k = 0; k < indexes.size(); ++k) {
    BenchRun& run = runs[k];
    run.record.item = ItemName(form, indexes[k]);
    const auto at = static_cast<std::size_t>(indexes[k]);
    if (at < DeviceList.size()) run.record.unit.model = DeviceList[at]->ModelName;
    byItem[run.record.item] = k;
    printers.try_emplace(run.record.item, out, run.record.item + " | ");
  }
  form.onResultLine = [&printers](const UnitRun& socket, const std::string& line) {
    auto it = printers.find(socket.item);
    if (it != printers.end()) it->second.Take(socket, line);
  };
  const auto wallStart = std::chrono::steady_clock::now();
  const std::int64_t virtualStart = clocks.nowMs();
  const std::int64_t waitedStart = clocks.waitedMs();
  const auto sinceStart = [&](BenchRun& run) {
    run.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    run.virtualSeconds = static_cast<double>(clocks.nowMs() - virtualStart) / 1000.0;
    run.pauseSeconds = static_cast<double>(clocks.waitedMs() - waitedStart) / 1000.0;
  };
  form.onRunKept = [&](const UnitRun& socket) {
    auto it = byItem.find(socket.item);
    if (it == byItem.end() || socket.last == nullptr) return;
    BenchRun& run = runs[it->second];
    run.record = RecordOf(*socket.last);
    sinceStart(run);
    out << socket.item << " | ended: " << run.record.result << "\n";
  };
  WatchPrompts(
      toolkit, out,
      [&](const std::string& origin) -> BenchRun* {
        auto it = byItem.find(origin);
        return it == byItem.end() ? nullptr : &runs[it->second];
      },
      [](const std::string& origin) { return origin.empty() ? origin : origin + " |"; });
  const int showings = toolkit.ModalShowings();
  StartUnitsAtOnce(form, toolkit, indexes, runs);
  toolkit.RunUntil([&] { return form.AllRunsHandled(); });
  form.onResultLine = nullptr;
  form.onRunKept = nullptr;
  toolkit.SetPromptObserver(nullptr);

  PrintRunsAtOnce(out, dialog, runs, toolkit.ModalShowings() != showings);
  return runs;
}

nlohmann::json BenchRunJson(const BenchRun& run) {
  nlohmann::json json = RecordJson(run.record);
  json["started"] = run.started;
  json["virtual_seconds"] = run.virtualSeconds;
  json["wall_seconds"] = run.wallSeconds;
  json["pause_seconds"] = run.pauseSeconds;
  nlohmann::json answers = nlohmann::json::array();
  for (const BenchRun::Answer& a : run.answers) {
    nlohmann::json answer = {{"scripted", a.scripted}};
    if (a.unfitting != 0) answer["unfitting"] = AnswerText(a.unfitting);
    answers.push_back(std::move(answer));
  }
  json["answers"] = std::move(answers);
  return json;
}
