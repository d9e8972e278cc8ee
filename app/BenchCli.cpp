// veltrane-bench's options and printing.
#include "app/BenchCli.h"

#include "console/Unit1.h"
#include "console/Unit2.h"
#include "models/ModelCatalogue.h"
#include "report/RunRecord.h"
#include "report/StepList.h"
#include "report/TestLog.h"

namespace {

// --device: an item number, a list of them ("0,3,5") or "all".
bool CheckDevice(const std::string& d, std::string& error) {
  const bool list = !d.empty() && d.find_first_not_of("0123456789,") == std::string::npos &&
                    d.front() != ',' && d.back() != ',' && d.find(",,") == std::string::npos;
  if (d != "all" && !list) {
    error = "--device takes an item number, a list such as 0,3,5, or 'all', not '" + d + "'";
    return false;
  }
  return true;
}

// --answers-for N:A,B,...: item N's own answers.
bool AddAnswersFor(const std::string& given, BenchOptions& options, std::string& error) {
  const std::size_t colon = given.find(':');
  const std::string item = given.substr(0, colon);
  if (colon == std::string::npos || item.empty() || item.size() > 6 ||
      item.find_first_not_of("0123456789") != std::string::npos) {
    error = "--answers-for takes N:A,B,... (an item number, a colon, answers), not '" + given + "'";
    return false;
  }
  options.answersFor.emplace_back(std::stoi(item), given.substr(colon + 1));
  return true;
}

// --seed S: a number that fits 64 bits.
bool ReadSeed(const std::string& given, BenchOptions& options, std::string& error) {
  if (given.empty() || given.size() > 19 ||
      given.find_first_not_of("0123456789") != std::string::npos) {
    error = "--seed takes a number, not '" + given + "'";
    return false;
  }
  options.seed = std::stoull(given);
  return true;
}

// --day YYYY-MM-DD: a day of every month (01 to 28), from 1980 on.
bool CheckDay(const std::string& d, std::string& error) {
  const bool form = d.size() == 10 && d[4] == '-' && d[7] == '-' &&
                    d.find_first_not_of("0123456789-") == std::string::npos &&
                    d.substr(0, 4) >= "1980" && d.substr(5, 2) >= "01" && d.substr(5, 2) <= "12" &&
                    d.substr(8, 2) >= "01" && d.substr(8, 2) <= "28";
  if (!form) {
    error = "--day takes YYYY-MM-DD (day 01 to 28), not '" + d + "'";
    return false;
  }
  return true;
}

}  // namespace

bool ParseBenchOptions(const std::vector<std::string>& args, BenchOptions& options,
                       std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) {
        error = "option " + a + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      options.help = true;
    } else if (a == "--list") {
      options.list = true;
    } else if (a == "--real-time") {
      options.realTime = true;
    } else if (a == "--strict-answers") {
      options.strictAnswers = true;
    } else if (a == "--answers") {
      if (!value(options.answers)) return false;
    } else if (a == "--out") {
      if (!value(options.outDir)) return false;
    } else if (a == "--bench") {
      if (!value(options.bench)) return false;
    } else if (a == "--device") {
      if (!value(options.device) || !CheckDevice(options.device, error)) return false;
    } else if (a == "--parallel") {
      options.parallel = true;
    } else if (a == "--answers-for") {
      std::string given;
      if (!value(given) || !AddAnswersFor(given, options, error)) return false;
    } else if (a == "--json") {
      if (!value(options.jsonFile)) return false;
    } else if (a == "--station") {
      if (!value(options.station)) return false;
    } else if (a == "--seed") {
      std::string given;
      if (!value(given) || !ReadSeed(given, options, error)) return false;
    } else if (a == "--day") {
      if (!value(options.day) || !CheckDay(options.day, error)) return false;
    } else {
      error = "unknown argument: " + a;
      return false;
    }
  }
  return true;
}

void PrintBenchUsage(std::ostream& out) {
  out << "Usage: veltrane-bench [options]\n"
         "Runs the console, headless, on the simulated bench and prints what the operator sees.\n"
         "\n"
         "  --bench FILE|demo  the bench to simulate (default: the built-in demo bench)\n"
         "  --list             print the device combo's items and exit\n"
         "  --device N|N,M,...|all\n"
         "                     run the test of combo item N, of the items listed, or of every\n"
         "                     item, in turn; without it the main window is printed and\n"
         "                     nothing runs\n"
         "  --parallel         run the chosen items at once, as a station does; progress lines\n"
         "                     start with their item, and each run's boxes take --answers\n"
         "                     from its start\n"
         "  --answers-for N:A,B,...\n"
         "                     with --parallel: item N's own answers instead (repeatable)\n"
         "  --json FILE        write one record per run (rows, memo, prompts, log) to FILE\n"
         "  --answers A,B,...  answers to the message boxes, in order: retry, cancel, ok,\n"
         "                     tryagain, continue (unanswered boxes get Cancel, or OK); an\n"
         "                     answer that is no button of its box is reported on stderr and\n"
         "                     the box gets Cancel (or OK)\n"
         "  --strict-answers   such an answer ends veltrane-bench with status 2 instead\n"
         "  --real-time        pauses take real time (default: virtual time, instant)\n"
         "  --out DIR          write Test.log into DIR (default: the current directory)\n"
         "  --station NAME     the station's computer name in the records (default: this host's)\n"
         "  --seed S           seed of the runs' ids in virtual time (default 0)\n"
         "  --day YYYY-MM-DD   the day the virtual clock starts (default 2026-12-07)\n"
         "  --help             this text\n"
         "\n"
         "Exit status: 0 when every run gave Success or Warning, 1 otherwise, 2 on a usage or\n"
         "bench error (or, with --strict-answers, an answer that fits no button).\n";
}

void PrintMainWindow(std::ostream& out, const TForm1& form) {
  out << "Window: " << form.Caption() << "\n";
  out << form.Label1.Caption() << "\n";
  const auto& items = form.ComboBox1.Items();
  for (int i = 0; i < static_cast<int>(items.size()); ++i) {
    out << (i == form.ComboBox1.ItemIndex() ? "  > " : "    ") << items[i] << "\n";
  }
  for (int i = 0; i < models::PictureCount(); ++i) {
    if (form.Picture(i)->Visible()) out << "Picture: " << form.Picture(i)->Name() << "\n";
  }
  out << form.Label2.Caption() << "\n";
  int row = 0;
  for (const auto& item : form.ListView1.Items()) {
    ++row;
    out << "  [" << (row < 10 ? " " : "") << row << "] " << item.caption;
    if (item.imageIndex != kIconNone) out << " ... " << IconWord(item.imageIndex);
    out << "\n";
  }
  out << "Buttons: " << form.Button1.Caption() << (form.Button1.Enabled() ? "" : " (disabled)")
      << ", " << form.Button2.Caption() << (form.Button2.Enabled() ? "" : " (disabled)");
  // Start all stands only on a station of several units.
  if (form.StartAllButton.Visible()) {
    out << ", " << form.StartAllButton.Caption()
        << (form.StartAllButton.Enabled() ? "" : " (disabled)");
  }
  out << "\n";
}

void PrintRecordDialog(std::ostream& out, const TForm2& dialog, const RunRecord& record,
                       bool station) {
  // On a station the dialog names its unit, as Result shows it for that unit.
  const std::size_t named = record.item.find("] ");
  out << "Test Report";
  if (station && named != std::string::npos) out << " - " << record.item.substr(named + 2);
  out << "\n";
  out << "  " << dialog.Label1.Caption() << " " << record.result << "\n";
  out << "  " << dialog.Label3.Caption() << " " << FormatDateTime(record.start) << "\n";
  out << "  " << dialog.Label5.Caption() << " " << FormatDateTime(record.end) << "\n";
  for (const std::string& line : record.memo) out << "  | " << line << "\n";
}

void PrintResultDialog(std::ostream& out, const TForm2& dialog) {
  out << dialog.Caption() << "\n";
  out << "  " << dialog.Label1.Caption() << " " << dialog.Label2.Caption() << "\n";
  out << "  " << dialog.Label3.Caption() << " " << dialog.Label4.Caption() << "\n";
  out << "  " << dialog.Label5.Caption() << " " << dialog.Label6.Caption() << "\n";
  for (const std::string& line : dialog.Memo1.Lines()) out << "  | " << line << "\n";
}
