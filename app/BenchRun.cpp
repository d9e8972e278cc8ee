// One operator run of veltrane-bench.
#include "app/BenchRun.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

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

// Watches the result memo: a numbered heading names the current step; an outcome line closes
// it. This prints each step's outcome the moment the worker reports it.
class ProgressPrinter : public ui::Peer {
 public:
  // Takes the run's rows as Start finds them: a unit that leaves during the run takes its list
  // with it, and the combo may then show another unit's.
  ProgressPrinter(const TForm1& form, std::ostream& out) : form_(form), out_(out) {
    for (const auto& item : form.ListView1.Items()) captions_.push_back(item.caption);
  }
  void Changed(ui::Control& control) override {
    const auto& lines = static_cast<ui::Memo&>(control).Lines();
    if (lines.size() < seen_) seen_ = 0;  // cleared at Start
    for (; seen_ < lines.size(); ++seen_) Take(lines[seen_]);
  }

 private:
  void Take(const std::string& line) {
    // A heading is "%2d. %s": a right-aligned step number and a dot.
    if (line.size() > 3 && line[2] == '.' && std::isdigit(static_cast<unsigned char>(line[1]))) {
      row_ = static_cast<int>(std::strtol(line.substr(0, 2).c_str(), nullptr, 10));
      return;
    }
    static const std::pair<const char*, const char*> kOutcomes[] = {
        {"    [OK] ", "passed"}, {"    [ERROR] ", "failed"}, {"    [WARNING] ", "warned"}};
    for (const auto& [prefix, word] : kOutcomes) {
      const std::string p = prefix;
      if (line.compare(0, p.size(), p) != 0) continue;
      const int rows = static_cast<int>(captions_.size());
      std::string caption;
      if (row_ >= 1 && row_ <= rows) caption = captions_[static_cast<std::size_t>(row_ - 1)];
      char head[32];
      std::snprintf(head, sizeof head, "[%2d/%d] ", row_, rows);
      out_ << head << caption << " ... " << word;
      if (std::string(word) != "passed") out_ << ": " << line.substr(p.size());
      if (form_.RunEntryLeft()) out_ << " (the unit has left; its list was emptied)";
      out_ << "\n";
    }
  }

  const TForm1& form_;
  std::ostream& out_;
  std::vector<std::string> captions_;
  std::size_t seen_ = 0;
  int row_ = 0;
};

}  // namespace

BenchRun RunItem(TForm1& form, TForm2& dialog, ui::headless::HeadlessToolkit& toolkit, int index,
                 const RunClocks& clocks, std::ostream& out) {
  BenchRun run;
  form.ComboBox1.PickItem(index);
  run.record.item = form.ComboBox1.Text();
  if (SelectedDevice != nullptr) run.record.unit.model = SelectedDevice->ModelName;
  out << "=== " << run.record.item << " ===\n";
  if (!form.Button1.Enabled()) {
    out << "Start is disabled for this device.\n";
    return run;
  }
  const int showings = toolkit.ModalShowings();
  ProgressPrinter progress(form, out);
  dialog.Memo1.AttachPeer(&progress);
  const std::string item = form.ComboBox1.Text();
  toolkit.SetPromptObserver([&out, &run, item](const ui::headless::PromptRecord& p) {
    out << "  Prompt (" << p.caption << ", " << ButtonsText(p.flags) << ", " << IconText(p.flags)
        << "): " << p.text << " -> " << AnswerText(p.answer) << "\n";
    run.answers.push_back({!p.defaulted, p.unfitting});
    if (p.unfitting == 0) return;
    // A mistyped script would otherwise end the run early without a word.
    ++run.unfittingAnswers;
    std::cerr << "veltrane-bench: run " << item << ": the answer " << AnswerText(p.unfitting)
              << " is no button of the box \"" << p.text << "\" (" << ButtonsText(p.flags)
              << "); it got " << AnswerText(p.answer) << "\n";
  });
  const auto wallStart = std::chrono::steady_clock::now();
  const std::int64_t virtualStart = clocks.nowMs();
  const std::int64_t waitedStart = clocks.waitedMs();

  run.started = true;
  toolkit.RunAsWindowWork([&] { form.Button1.Click(); });
  toolkit.RunUntil([&] { return form.Button1.Caption() == "Start" && !form.Timer1.Enabled(); });

  run.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  run.virtualSeconds = static_cast<double>(clocks.nowMs() - virtualStart) / 1000.0;
  run.pauseSeconds = static_cast<double>(clocks.waitedMs() - waitedStart) / 1000.0;
  dialog.Memo1.AttachPeer(nullptr);
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
