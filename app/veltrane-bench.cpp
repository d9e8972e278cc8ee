// veltrane-bench: the real console, discovery and sequences on the simulated bench with the
// headless toolkit. Prints what the operator would see in the window.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>

#include "app/BenchCli.h"
#include "app/BenchRun.h"
#include "app/DeviceChanges.h"
#include "app/WindowTurns.h"
#include "console/Unit1.h"
#include "console/Unit2.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimUsbBench.h"
#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/BenchPipes.h"
#include "platform/sim/bench/DemoBench.h"
#include "ui/headless/HeadlessToolkit.h"
#include "ui/headless/MessageScript.h"

namespace {

constexpr int kUsageError = 2;

int Fail(const std::string& message) {
  std::cerr << "veltrane-bench: " << message << "\n";
  return kUsageError;
}

// The combo items to run: one, a list, or all of them; an empty list when nothing is to run.
bool ItemsToRun(const std::string& device, int itemCount, std::vector<int>& items,
                std::string& error) {
  if (device.empty()) return true;
  if (device == "all") {
    for (int i = 0; i < itemCount; ++i) items.push_back(i);
    return true;
  }
  std::size_t from = 0;
  while (from <= device.size()) {
    const std::size_t comma = std::min(device.find(',', from), device.size());
    const std::string piece = device.substr(from, comma - from);
    const long n = piece.size() > 6 ? -1 : std::strtol(piece.c_str(), nullptr, 10);
    if (n < 0 || n >= itemCount) {
      error = "--device " + device;
      error += ": the combo has " + std::to_string(itemCount) + " item(s), there is no item ";
      error += piece;
      return false;
    }
    if (std::ranges::find(items, static_cast<int>(n)) != items.end()) {
      error = "--device " + device;
      error += ": item " + piece + " is listed twice";
      return false;
    }
    items.push_back(static_cast<int>(n));
    from = comma + 1;
  }
  return true;
}

// A usage error of item's --answers-for.
std::string AnswersForError(int item, const std::string& what) {
  return "--answers-for " + std::to_string(item) + what;
}

// The answer scripts of --answers and --answers-for; false with the usage error's text.
bool ReadAnswerScripts(const BenchOptions& options, std::vector<int>& answers,
                       std::map<int, std::vector<int>>& answersFor, std::string& error) {
  if (!ui::headless::ParseAnswerScript(options.answers, answers, error)) {
    error = "--answers: " + error;
    return false;
  }
  for (const auto& [item, script] : options.answersFor) {
    if (!options.parallel) {
      error = "--answers-for needs --parallel";
      return false;
    }
    if (answersFor.contains(item)) {
      error = AnswersForError(item, " is given twice");
      return false;
    }
    if (!ui::headless::ParseAnswerScript(script, answersFor[item], error)) {
      error = AnswersForError(item, error.insert(0, ": "));
      return false;
    }
  }
  return true;
}

// The bench file (or the demo bench), the --json file created and the --out folder made the
// current one; false with the usage error's text.
bool PrepareFiles(const BenchOptions& options, platform::sim::BenchModel& model,
                  std::ofstream& json, std::string& error) {
  try {
    model = options.bench == "demo" ? platform::sim::DemoBench()
                                    : platform::sim::LoadBenchFile(options.bench);
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  if (!options.jsonFile.empty()) {
    json.open(options.jsonFile, std::ios::binary);
    if (!json) {
      error = "--json " + options.jsonFile + ": cannot create the file";
      return false;
    }
  }
  if (!options.outDir.empty()) {
    std::error_code ec;
    std::filesystem::current_path(options.outDir, ec);
    if (ec) {
      error = "--out " + options.outDir + ": " + ec.message();
      return false;
    }
  }
  return true;
}

// The simulated platform's clock, seed and first day as the options ask.
platform::sim::SimOptions SimOptionsOf(const BenchOptions& options) {
  platform::sim::SimOptions simOptions;
  simOptions.clockMode = options.realTime ? platform::sim::SimClock::Mode::kReal
                                          : platform::sim::SimClock::Mode::kVirtual;
  simOptions.randomSeed = options.seed;
  if (!options.day.empty()) {
    simOptions.start.year = std::stoi(options.day.substr(0, 4));
    simOptions.start.month = std::stoi(options.day.substr(5, 2));
    simOptions.start.day = std::stoi(options.day.substr(8, 2));
  }
  return simOptions;
}

// The headless toolkit installed over the simulated platform and bench, answering the runs'
// boxes from the script.
void WireToolkit(ui::headless::HeadlessToolkit& toolkit, platform::sim::SimPlatform& sim,
                 const std::shared_ptr<platform::sim::SimBench>& bench,
                 const std::vector<int>& answers) {
  ui::SetToolkit(&toolkit);
  GateWindowOnClock(toolkit, sim.Clock());
  // Plug and unplug on the bench reach the main window as WM_DEVICECHANGE, on the GUI thread.
  sim.Usb().SetDeviceChangeSink(DeliverDeviceChange);
  // The bench's operator acts at the prompts the bench file names.
  toolkit.SetPromptHook(
      [bench](const std::string& text) { bench->NotePrompt(text, ui::BoxOrigin()); });
  toolkit.SetAnswers(answers);
  // The answers are the runs': a box of the program's own ("Cannot create file") takes none.
  toolkit.SetScriptForRunsOnly(true);
}

// The combo items to run, as --list, --device and --answers-for choose them on the window
// discovery filled (the window is printed when nothing is to run). Every item is checked before
// any runs: a usage error is said, sets the status and runs nothing.
std::vector<int> ChooseItems(const BenchOptions& options, const TForm1& form1,
                             std::map<int, std::vector<int>>& answersFor, int& status) {
  std::vector<int> items;
  std::string error;
  if (options.list) {
    for (const std::string& item : form1.ItemNames()) std::cout << item << "\n";
  } else if (!ItemsToRun(options.device, static_cast<int>(form1.ItemNames().size()), items,
                         error)) {
    status = Fail(error);
    items.clear();
    answersFor.clear();
  } else if (items.empty()) {
    PrintMainWindow(std::cout, form1);
  }
  for (const auto& [item, script] : answersFor) {
    if (item >= static_cast<int>(form1.ItemNames().size()) ||
        std::ranges::find(items, item) == items.end()) {
      status = Fail("--answers-for " + std::to_string(item) + ": item " + std::to_string(item) +
                    " is not run");
      items.clear();
    }
  }
  return items;
}

// The records of the runs as they are kept, and the exit status they make.
class RunKeeper {
 public:
  RunKeeper(const BenchOptions& options, int& status) : options_(options), status_(status) {}

  // Keeps a run's record; false once --strict-answers has to stop.
  bool Keep(const BenchRun& run) {
    SayUnwritten();
    const std::string& result = run.record.result;
    if (result != "Success" && result != "Warning") status_ = 1;
    nlohmann::json record = BenchRunJson(run);
    record["bench"] = options_.bench;
    records_.push_back(std::move(record));
    if (options_.strictAnswers && run.unfittingAnswers > 0) {
      if (status_ != kUsageError)
        std::cerr
            << "veltrane-bench: --strict-answers: stopped at the answer that fits no button\n";
      status_ = kUsageError;
      return false;
    }
    return true;
  }
  const nlohmann::json& Records() const { return records_; }

 private:
  // A record that could not be written is said on stderr as it is kept (the log says it only
  // at the next run's start, and after the last run there is none).
  void SayUnwritten() {
    const std::vector<std::string> lines = RecordFailureLines();
    for (; unwrittenSaid_ < lines.size(); ++unwrittenSaid_) {
      std::cerr << "veltrane-bench: " << lines[unwrittenSaid_] << "\n";
    }
  }

  const BenchOptions& options_;
  int& status_;
  nlohmann::json records_ = nlohmann::json::array();
  std::size_t unwrittenSaid_ = 0;
};

// What a session's runs need besides the windows: the options, the toolkit, the bench, the
// simulated clock and the --answers script.
struct BenchSession {
  const BenchOptions& options;
  ui::headless::HeadlessToolkit& toolkit;
  platform::sim::SimBench& bench;
  RunClocks clocks;
  const std::vector<int>& answers;
};

// Runs the chosen items, at once with --parallel or one after another, keeping each run.
void RunChosenItems(const BenchSession& session, TForm1& form1, TForm2& form2,
                    std::vector<int> items, const std::map<int, std::vector<int>>& answersFor,
                    RunKeeper& keeper) {
  if (session.options.parallel && !items.empty()) {
    // Each run answers its boxes from its own copy of --answers, or from its --answers-for.
    std::map<std::string, std::vector<int>> own;
    for (const auto& [item, script] : answersFor) own[form1.BaseItemText(item)] = script;
    session.toolkit.SetAnswersPerRun(session.answers, own);
    session.bench.BeginRun();
    // The runs went together: every one that ran is kept, whatever --strict-answers says.
    for (const BenchRun& run :
         RunItemsAtOnce(form1, form2, session.toolkit, items, session.clocks, std::cout)) {
      keeper.Keep(run);
    }
    items.clear();
  }
  for (int item : items) {
    session.bench.BeginRun();
    if (!keeper.Keep(RunItem(form1, form2, session.toolkit, item, session.clocks, std::cout))) {
      break;
    }
  }
}

// The windows' life on the wired bench: created, the chosen items run, the records written to
// --json, closed. The exit status.
int RunWindows(const BenchSession& session, std::map<int, std::vector<int>> answersFor,
               std::ofstream& json) {
  int status = 0;
  auto form1 = std::make_unique<TForm1>();
  form1->FormCreate();
  auto form2 = std::make_unique<TForm2>();
  const std::vector<int> items = ChooseItems(session.options, *form1, answersFor, status);
  RunKeeper keeper(session.options, status);
  RunChosenItems(session, *form1, *form2, items, answersFor, keeper);
  if (json.is_open()) {
    json << keeper.Records().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  }
  form1->FormClose();
  return status;
}

}  // namespace

static int Main(int argc, char** argv) {
  BenchOptions options;
  std::string error;
  if (!ParseBenchOptions({argv + 1, argv + argc}, options, error)) {
    PrintBenchUsage(std::cerr);
    return Fail(error);
  }
  if (options.help) {
    PrintBenchUsage(std::cout);
    return 0;
  }
  std::vector<int> answers;
  std::map<int, std::vector<int>> answersFor;
  if (!ReadAnswerScripts(options, answers, answersFor, error)) return Fail(error);
  platform::sim::BenchModel model;
  std::ofstream json;
  if (!PrepareFiles(options, model, json, error)) return Fail(error);

  platform::sim::SimPlatform sim(SimOptionsOf(options));
  if (!options.station.empty()) sim.SetComputerName(options.station);
  platform::SetPlatform(&sim);
  auto bench = platform::sim::WireBench(sim, std::move(model));
  ui::headless::HeadlessToolkit toolkit(options.realTime ? ui::headless::TimerMode::kRealTime
                                                         : ui::headless::TimerMode::kImmediate);
  WireToolkit(toolkit, sim, bench, answers);
  const RunClocks clocks{[&sim] { return static_cast<std::int64_t>(sim.Clock().NowMs()); },
                         [&sim] { return static_cast<std::int64_t>(sim.Clock().WaitedMs()); }};
  const int status = RunWindows({options, toolkit, *bench, clocks, answers}, answersFor, json);
  sim.Usb().SetDeviceChangeSink(nullptr);
  ui::SetToolkit(nullptr);
  platform::SetPlatform(nullptr);
  return status;
}

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "veltrane-bench: " << e.what() << "\n";
    return kUsageError;
  }
}
