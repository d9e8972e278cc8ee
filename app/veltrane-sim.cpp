// veltrane-sim.exe: the product's windows on the simulated bench, for demos and training.
// Usage: veltrane-sim [--virtual-time] [BENCH.json]   (default: the built-in demo bench)
// Pauses take real time unless --virtual-time. VELTRANE_UI_DUMP=FILE makes the windows write
// what they show to FILE whenever it changes (for checks that drive the GUI from outside).
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/GuiMain.h"
#include "console/Unit1.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimUsbBench.h"
#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/BenchPipes.h"
#include "platform/sim/bench/DemoBench.h"
#include "platform/sim/bench/SimBench.h"
#include "ui/win32/Win32Toolkit.h"

namespace {

constexpr int kBenchPollMs = 50;

struct SimGuiOptions {
  bool virtualTime = false;
  std::string bench = "demo";
};

SimGuiOptions ParseOptions(int argc, char** argv) {
  SimGuiOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--virtual-time") {
      options.virtualTime = true;
    } else if (!argument.empty() && argument[0] == '-') {
      throw std::runtime_error("unknown argument: " + argument +
                               "\nusage: veltrane-sim [--virtual-time] [BENCH.json]");
    } else {
      options.bench = argument;
    }
  }
  return options;
}

int RunOnBench(const SimGuiOptions& options) {
  platform::sim::BenchModel model = options.bench == "demo"
                                        ? platform::sim::DemoBench()
                                        : platform::sim::LoadBenchFile(options.bench);
  platform::sim::SimOptions simOptions;
  simOptions.clockMode = options.virtualTime ? platform::sim::SimClock::Mode::kVirtual
                                             : platform::sim::SimClock::Mode::kReal;
  platform::sim::SimPlatform sim(simOptions);
  platform::SetPlatform(&sim);
  auto bench = platform::sim::WireBench(sim, std::move(model));
  ui::win32::Win32Toolkit toolkit;
  ui::SetToolkit(&toolkit);
  if (const char* dump = std::getenv("VELTRANE_UI_DUMP")) toolkit.EnableStateDump(dump);
  // Plug and unplug on the bench reach the main window as WM_DEVICECHANGE, on the GUI thread.
  sim.Usb().SetDeviceChangeSink([](unsigned long code) {
    ui::TheToolkit().Post([code] {
      if (Form1 != nullptr) Form1->Dispatch(ui::kWmDeviceChange, code, 0);
    });
  });
  // The bench's operator acts at the prompts its file names, counted from each Start.
  toolkit.SetPromptHook(
      [bench](const std::string& text) { bench->NotePrompt(text, ui::BoxOrigin()); });
  // In real time the bench's timed events also happen while nothing waits (the operator looking
  // at the window): a poller reaches them on the wall clock.
  std::atomic<bool> polling{!options.virtualTime};
  std::thread poller;
  if (polling) {
    poller = std::thread([&polling, bench] {
      while (polling) {
        bench->Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(kBenchPollMs));
      }
    });
  }
  const int status = RunConsoleWindows(toolkit, [bench] { bench->BeginRun(); });
  polling = false;
  if (poller.joinable()) poller.join();
  sim.Usb().SetDeviceChangeSink(nullptr);
  sim.SetPrintSink(nullptr);
  ui::SetToolkit(nullptr);
  platform::SetPlatform(nullptr);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return RunOnBench(ParseOptions(argc, argv));
  } catch (const std::exception& e) {
    ShowFatalError(e.what());
    return 2;
  }
}
