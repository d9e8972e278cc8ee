// veltrane-bench's command line and its printing of what the operator would see in the window.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class TForm1;
class TForm2;

struct BenchOptions {
  bool help = false;
  bool list = false;
  bool realTime = false;
  bool strictAnswers = false;  // an answer that fits no button of its box is an error
  std::string answers;         // comma-separated message-box answers
  std::string outDir;          // where "Test.log" goes; the current directory when empty
  std::string bench = "demo";  // a bench file, or "demo" for the built-in one
  std::string device;          // "N", "N,M,..." or "all"; empty: list the window only
  bool parallel = false;       // the chosen items run at once
  // --answers-for N:A,B,...: item N's own answers (parallel runs)
  std::vector<std::pair<int, std::string>> answersFor;
  std::string jsonFile;  // one record per run
  // A station of its own: its computer name, the seed of its run ids and the day its virtual
  // clock starts ("YYYY-MM-DD"); empty or 0: the host's name, seed 0, the bench's usual day.
  std::string station;
  unsigned long long seed = 0;
  std::string day;
};

// Parses the arguments; on a bad argument returns false with a message in `error`.
bool ParseBenchOptions(const std::vector<std::string>& args, BenchOptions& options,
                       std::string& error);
void PrintBenchUsage(std::ostream& out);

// The main window as the operator sees it: caption, device combo, picture, step list, buttons.
void PrintMainWindow(std::ostream& out, const TForm1& form);
// The result dialog: result word, times and the memo.
void PrintResultDialog(std::ostream& out, const TForm2& dialog);
// The result dialog of a run as its record keeps it, in the dialog's words; `station`: several
// units are attached.
struct RunRecord;
void PrintRecordDialog(std::ostream& out, const TForm2& dialog, const RunRecord& record,
                       bool station);
