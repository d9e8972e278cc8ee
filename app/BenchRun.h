// Runs the test of one combo item the way an operator does (pick it, press Start, wait for the
// result dialog) and records what the window showed, printing progress as it happens.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class TForm1;
class TForm2;
namespace ui::headless {
class HeadlessToolkit;
}

struct RunRecord {
  std::string item;   // the combo item, "[0] TM36K (SN...)"
  std::string model;  // the entry's model name
  bool started = false;
  std::string result;  // the result word; empty when the run could not start
  std::string start;
  std::string end;
  struct Row {
    std::string text;
    std::string icon;  // "", "passed", "failed", "warned"
  };
  std::vector<Row> rows;
  std::vector<std::string> memo;
  struct Prompt {
    std::string text;
    std::string caption;
    std::string buttons;
    std::string icon;
    std::string answer;
  };
  std::vector<Prompt> prompts;
  std::vector<std::string> log;  // the run's log lines, messages in clear
  double virtualSeconds = 0;
  double wallSeconds = 0;
  double pauseSeconds = 0;  // the pauses the run made: the floor under its wall time
};

// Texts of a message box's buttons and icon, and of an answer ("Retry/Cancel", "error", "Retry").
std::string ButtonsText(unsigned flags);
std::string IconText(unsigned flags);
std::string AnswerText(int answer);

// Picks combo item `index`, presses Start and runs the GUI loop until the run has been handled.
// The clock readers give the platform clock's milliseconds and the ms waited so far. Prints
// progress to `out`.
struct RunClocks {
  std::function<std::int64_t()> nowMs;
  std::function<std::int64_t()> waitedMs;
};
RunRecord RunItem(TForm1& form, TForm2& dialog, ui::headless::HeadlessToolkit& toolkit, int index,
                  const RunClocks& clocks, std::ostream& out);

nlohmann::json RunRecordJson(const RunRecord& run);
