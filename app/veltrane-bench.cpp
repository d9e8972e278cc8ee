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
  if (!ui::headless::ParseAnswerScript(options.answers, answers, error)) {
    return Fail("--answers: " + error);
  }
  std::map<int, std::vector<int>> answersFor;
  for (const auto& [item, script] : options.answersFor) {
    if (!options.parallel) return Fail("--answers-for needs --parallel");
    if (answersFor.contains(item)) {
      return Fail("--answers-for " + std::to_string(item) + " is given twice");
    }
    if (!ui::headless::ParseAnswerScript(script, answersFor[item], error)) {
      return Fail("--answers-for " + std::to_string(item) + ": " + error);
    }
  }
  platform::sim::BenchModel model;
  try {
    model = options.bench == "demo" ? platform::sim::DemoBench()
                                    : platform::sim::LoadBenchFile(options.bench);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  std::ofstream json;
  if (!options.jsonFile.empty()) {
    json.open(options.jsonFile, std::ios::binary);
    if (!json) return Fail("--json " + options.jsonFile + ": cannot create the file");
  }
  if (!options.outDir.empty()) {
    std::error_code ec;
    std::filesystem::current_path(options.outDir, ec);
    if (ec) return Fail("--out " + options.outDir + ": " + ec.message());
  }

  platform::sim::SimOptions simOptions;
  simOptions.clockMode = options.realTime ? platform::sim::SimClock::Mode::kReal
                                          : platform::sim::SimClock::Mode::kVirtual;
  simOptions.randomSeed = options.seed;
  if (!options.day.empty()) {
    simOptions.start.year = std::stoi(options.day.substr(0, 4));
    simOptions.start.month = std::stoi(options.day.substr(5, 2));
    simOptions.start.day = std::stoi(options.day.substr(8, 2));
  }
  platform::sim::SimPlatform sim(simOptions);
  if (!options.station.empty()) sim.SetComputerName(options.station);
  platform::SetPlatform(&sim);
  auto bench = platform::sim::WireBench(sim, std::move(model));
  ui::headless::HeadlessToolkit toolkit(options.realTime ? ui::headless::TimerMode::kRealTime
                                                         : ui::headless::TimerMode::kImmediate);
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

  int status = 0;
  {
    auto form1 = std::make_unique<TForm1>();
    form1->FormCreate();
    auto form2 = std::make_unique<TForm2>();
    std::vector<int> items;
    if (options.list) {
      for (const std::string& item : form1->ItemNames()) std::cout << item << "\n";
    } else if (!ItemsToRun(options.device, static_cast<int>(form1->ItemNames().size()), items,
                           error)) {
      // Every item is checked before any runs: a usage error runs nothing.
      status = Fail(error);
      items.clear();
      answersFor.clear();
    } else if (items.empty()) {
      PrintMainWindow(std::cout, *form1);
    }
    nlohmann::json records = nlohmann::json::array();
    const RunClocks clocks{[&sim] { return static_cast<std::int64_t>(sim.Clock().NowMs()); },
                           [&sim] { return static_cast<std::int64_t>(sim.Clock().WaitedMs()); }};
    for (const auto& [item, script] : answersFor) {
      if (item >= static_cast<int>(form1->ItemNames().size()) ||
          std::ranges::find(items, item) == items.end()) {
        status = Fail("--answers-for " + std::to_string(item) + ": item " + std::to_string(item) +
                      " is not run");
        items.clear();
      }
    }
    // A record that could not be written is said on stderr as it is kept (the log says it only
    // at the next run's start, and after the last run there is none).
    std::size_t unwrittenSaid = 0;
    const auto sayUnwritten = [&unwrittenSaid] {
      const std::vector<std::string> lines = RecordFailureLines();
      for (; unwrittenSaid < lines.size(); ++unwrittenSaid) {
        std::cerr << "veltrane-bench: " << lines[unwrittenSaid] << "\n";
      }
    };
    // Keeps a run's record; false once --strict-answers has to stop.
    const auto keep = [&](const BenchRun& run) {
      sayUnwritten();
      const std::string& result = run.record.result;
      if (result != "Success" && result != "Warning") status = 1;
      nlohmann::json record = BenchRunJson(run);
      record["bench"] = options.bench;
      records.push_back(std::move(record));
      if (options.strictAnswers && run.unfittingAnswers > 0) {
        if (status != kUsageError)
          std::cerr
              << "veltrane-bench: --strict-answers: stopped at the answer that fits no button\n";
        status = kUsageError;
        return false;
      }
      return true;
    };
    if (options.parallel && !items.empty()) {
      // Each run answers its boxes from its own copy of --answers, or from its --answers-for.
      std::map<std::string, std::vector<int>> own;
      for (const auto& [item, script] : answersFor) own[form1->BaseItemText(item)] = script;
      toolkit.SetAnswersPerRun(answers, own);
      bench->BeginRun();
      // The runs went together: every one that ran is kept, whatever --strict-answers says.
      for (const BenchRun& run :
           RunItemsAtOnce(*form1, *form2, toolkit, items, clocks, std::cout)) {
        keep(run);
      }
      items.clear();
    }
    for (int item : items) {
      bench->BeginRun();
      if (!keep(RunItem(*form1, *form2, toolkit, item, clocks, std::cout))) break;
    }
    if (json.is_open()) {
      json << records.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    }
    form1->FormClose();
  }
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
