// Whole operator sessions on a simulated bench: the console discovers the bench's units through
// the real port tree, Start runs the program's own family worker, and the bench's printers take
// the print jobs. Adds to DiscoveryFixture what a session test reads afterwards.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "DiscoveryFixture.h"

class BenchSessionFixture : public DiscoveryFixture {
 protected:
  void SetUp() override {
    DiscoveryFixture::SetUp();
    SetWorkerFactory(nullptr);  // the program's own family workers
  }

  // The bench of the test, its printers taking the empty print jobs; then program start.
  void StartOnBench(const std::string& json) {
    UseBench(json);
    sim_.SetPrintSink(
        [bench = bench](const std::string& queue) { return bench->SubmitPrintJob(queue); });
    StartProgram();
  }

  // Presses Start with the given prompt answers and runs the GUI loop (device changes
  // included) until the result dialog of this run has been shown.
  void Run(std::vector<int> answers = {}) {
    toolkit_.SetAnswers(std::move(answers));
    commandsBeforeRun_ = bench->CommandLog(0).size();
    const int shown = toolkit_.ModalShowings();
    bench->BeginRun();
    form().Button1.Click();
    toolkit_.RunUntil([&] {
      return !RunActive && toolkit_.ModalShowings() > shown && form().Button1.Caption() == "Start";
    });
  }

  // Called on the worker's thread as each prompt is shown, before its answer is returned.
  void OnPrompt(std::function<void(const ui::headless::PromptRecord&)> observer) {
    toolkit_.SetPromptObserver(std::move(observer));
  }

  std::vector<std::string> Memo() { return dialog().Memo1.Lines(); }
  std::string ResultWord() { return dialog().Label2.Caption(); }
  std::vector<ui::headless::PromptRecord> Prompts() const { return toolkit_.Prompts(); }
  // Commands unit 0 took in during the run, as the log writes them.
  std::vector<std::string> Commands() const {
    const auto all = bench->CommandLog(0);
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(commandsBeforeRun_, all.size())),
            all.end()};
  }
  // Commands unit 0 took in before Start (discovery's identification).
  std::size_t CommandsBeforeRun() const { return commandsBeforeRun_; }

  // The log's messages in clear from the run's first step heading on (the host report and the
  // USB topology before it are not the sequence's).
  std::vector<std::string> RunLog() const {
    std::vector<std::string> out;
    bool started = false;
    for (const std::string& message : LogMessages()) {
      started = started || message.starts_with("[1] ");
      if (started) out.push_back(message);
    }
    return out;
  }

 private:
  std::size_t commandsBeforeRun_ = 0;
};
