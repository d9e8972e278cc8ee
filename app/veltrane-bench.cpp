// veltrane-bench: the real console on the simulated bench with the headless toolkit. Prints what
// the operator would see in the window.
#include <filesystem>
#include <iostream>
#include <memory>

#include "app/BenchCli.h"
#include "console/Unit1.h"
#include "console/Unit2.h"
#include "platform/sim/SimPlatform.h"
#include "ui/headless/HeadlessToolkit.h"
#include "ui/headless/MessageScript.h"

int main(int argc, char** argv) {
  BenchOptions options;
  std::string error;
  if (!ParseBenchOptions({argv + 1, argv + argc}, options, error)) {
    std::cerr << "veltrane-bench: " << error << "\n";
    PrintBenchUsage(std::cerr);
    return 2;
  }
  if (options.help) {
    PrintBenchUsage(std::cout);
    return 0;
  }
  std::vector<int> answers;
  if (!ui::headless::ParseAnswerScript(options.answers, answers, error)) {
    std::cerr << "veltrane-bench: --answers: " << error << "\n";
    return 2;
  }
  if (!options.outDir.empty()) {
    std::error_code ec;
    std::filesystem::current_path(options.outDir, ec);
    if (ec) {
      std::cerr << "veltrane-bench: --out " << options.outDir << ": " << ec.message() << "\n";
      return 2;
    }
  }

  platform::sim::SimOptions simOptions;
  simOptions.clockMode =
      options.realTime ? platform::sim::SimClock::Mode::kReal : platform::sim::SimClock::Mode::kVirtual;
  platform::sim::SimPlatform sim(simOptions);
  platform::SetPlatform(&sim);
  ui::headless::HeadlessToolkit toolkit(options.realTime ? ui::headless::TimerMode::kRealTime
                                                         : ui::headless::TimerMode::kImmediate);
  ui::SetToolkit(&toolkit);
  toolkit.SetAnswers(answers);

  int status = 0;
  {
    auto form1 = std::make_unique<TForm1>();
    form1->FormCreate();
    auto form2 = std::make_unique<TForm2>();
    if (options.list) {
      for (const std::string& item : form1->ComboBox1.Items()) std::cout << item << "\n";
    } else {
      PrintMainWindow(std::cout, *form1);
    }
    form1->FormClose();
  }
  ui::SetToolkit(nullptr);
  platform::SetPlatform(nullptr);
  return status;
}
