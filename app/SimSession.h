// One program session on a simulated bench in virtual time, made and ended within a caller (a soak,
// a test) that runs many sessions in a row: it owns its platform, headless toolkit, bench and
// both windows. Its runs save "Test.log" in the current directory.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/DeviceChanges.h"
#include "app/WindowTurns.h"
#include "console/Unit1.h"
#include "console/Unit2.h"
#include "device/Discovery.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimUsbBench.h"
#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/BenchPipes.h"
#include "platform/sim/bench/SimBench.h"
#include "report/RunRecord.h"
#include "sequences/Runner.h"
#include "ui/headless/HeadlessToolkit.h"

class SimSession {
 public:
  // Program start on the bench of this bench-file text: the windows exist, discovery has run.
  explicit SimSession(const std::string& benchJson, const platform::sim::SimOptions& options = {})
      : sim_(options) {
    platform::SetPlatform(&sim_);
    ui::SetToolkit(&toolkit_);
    GateWindowOnClock(toolkit_, sim_.Clock());
    SetWorkerFactory(nullptr);  // the program's own family workers
    bench_ = std::make_shared<platform::sim::SimBench>(platform::sim::ParseBench(benchJson, "test"),
                                                       platform::sim::BenchClock(sim_));
    platform::sim::AttachBench(sim_, bench_);
    platform::sim::AttachBenchUsb(sim_, bench_);
    sim_.SetPrintSink(
        [bench = bench_](const std::string& queue) { return bench->SubmitPrintJob(queue); });
    sim_.Usb().SetDeviceChangeSink(DeliverDeviceChange);
    toolkit_.SetPromptHook(
        [bench = bench_](const std::string& text) { bench->NotePrompt(text, ui::BoxOrigin()); });
    form1_ = std::make_unique<TForm1>();
    form1_->FormCreate();
    form2_ = std::make_unique<TForm2>();
  }

  // Program end: FormClose, then the seams are uninstalled.
  ~SimSession() {
    form1_.reset();
    form2_.reset();
    sim_.Usb().SetDeviceChangeSink(nullptr);
    ui::SetToolkit(nullptr);
    platform::SetPlatform(nullptr);
  }

  SimSession(const SimSession&) = delete;
  SimSession& operator=(const SimSession&) = delete;

  // Picks combo item `item`, presses Start with these prompt answers and runs the GUI loop until
  // the run has been handled ("Start" back, Timer1 off) or the bench clock has gone
  // `virtualLimitMs` past the press. Device changes posted meanwhile are delivered too. False
  // when the limit was reached first: the run hangs.
  bool Run(int item, std::vector<int> answers, std::int64_t virtualLimitMs) {
    form1_->ComboBox1.PickItem(item);
    toolkit_.SetAnswers(std::move(answers));
    const std::uint64_t limit = sim_.Clock().NowMs() + static_cast<std::uint64_t>(virtualLimitMs);
    bench_->BeginRun(form1_->BaseItemText(item));
    toolkit_.RunAsWindowWork([&] { form1_->Button1.Click(); });
    return RunUntilHandled(limit);
  }

  // Presses "Start all": every idle unit starts in one act, the boxes of each run answered from
  // answers[item] (its combo item as BaseItemText gives it; none: each box its safe default).
  // Runs the GUI loop until every run has been handled or the bench clock has gone
  // `virtualLimitMs` past the press, as Run does. False when the limit was reached first.
  // `started` is called within the press, before any run has taken a step.
  bool RunAll(const std::map<std::string, std::vector<int>>& answers, std::int64_t virtualLimitMs,
              const std::function<void()>& started = {}) {
    return PressStartAll({}, answers, virtualLimitMs, started);
  }

  // As RunAll, each run answering its boxes from its own copy of `each`, or from `own` under its
  // combo item: the records of the runs, by combo item, as they were kept; false in `ended` when
  // the limit was reached first.
  std::map<std::string, RunRecord> RunAllRecords(std::vector<int> each,
                                                 const std::map<std::string, std::vector<int>>& own,
                                                 std::int64_t virtualLimitMs,
                                                 bool* ended = nullptr) {
    std::map<std::string, RunRecord> records;
    form1_->onRunKept = [&records](const UnitRun& socket) {
      if (socket.last) records[socket.item] = RecordOf(*socket.last);
    };
    const bool done = PressStartAll(std::move(each), own, virtualLimitMs, {});
    form1_->onRunKept = nullptr;
    if (ended != nullptr) *ended = done;
    return records;
  }

  // Every listed unit alone, one after another, its boxes answered as `answersOf` its combo item
  // says: the records of the runs, by combo item. False in `ended` when a run hung.
  std::map<std::string, RunRecord> RunEachAlone(
      const std::function<std::vector<int>(const std::string& item)>& answersOf,
      std::int64_t virtualLimitMs, bool* ended = nullptr) {
    std::map<std::string, RunRecord> records;
    bool all = true;
    const std::vector<std::string> items = form1_->ItemNames();
    for (std::size_t i = 0; i < items.size(); ++i) {
      all = Run(static_cast<int>(i), answersOf(items[i]), virtualLimitMs) && all;
      records[items[i]] = LastRunRecord();
    }
    if (ended != nullptr) *ended = all;
    return records;
  }

  TForm1& Form() { return *form1_; }
  TForm2& Dialog() { return *form2_; }
  platform::sim::SimBench& Bench() { return *bench_; }
  platform::sim::SimPlatform& Sim() { return sim_; }
  ui::headless::HeadlessToolkit& Toolkit() { return toolkit_; }

 private:
  // Start all with these answers per run, then the GUI loop until every run has been handled.
  bool PressStartAll(std::vector<int> each, const std::map<std::string, std::vector<int>>& own,
                     std::int64_t virtualLimitMs, const std::function<void()>& started) {
    toolkit_.SetAnswersPerRun(std::move(each), own);
    const std::uint64_t limit = sim_.Clock().NowMs() + static_cast<std::uint64_t>(virtualLimitMs);
    bench_->BeginRun();
    toolkit_.RunAsWindowWork([&] {
      form1_->StartAllButton.Click();
      if (started) started();
    });
    return RunUntilHandled(limit);
  }

  bool RunUntilHandled(std::uint64_t limitMs) {
    bool ended = false;
    toolkit_.RunUntil([&] {
      ended = form1_->AllRunsHandled();
      return ended || sim_.Clock().NowMs() > limitMs;
    });
    while (toolkit_.RunPending()) {
    }
    return ended;
  }

  platform::sim::SimPlatform sim_;
  ui::headless::HeadlessToolkit toolkit_;
  std::shared_ptr<platform::sim::SimBench> bench_;
  std::unique_ptr<TForm1> form1_;
  std::unique_ptr<TForm2> form2_;
};
