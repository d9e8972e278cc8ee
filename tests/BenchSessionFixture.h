// Whole operator sessions on a simulated bench: the console discovers the bench's units through
// the real port tree, Start runs the program's own family worker, and the bench's printers take
// the print jobs. Adds to DiscoveryFixture what a session test reads afterwards.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "DiscoveryFixture.h"
#include "SessionLog.h"
#include "sequences/StateMap.h"

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
    toolkit_.RunUntil(
        [&] { return toolkit_.ModalShowings() > shown && form().Button1.Caption() == "Start"; });
    // Every move the worker made is one its family's table lists.
    if (const RunContext* run = form().CurrentRun()) {
      EXPECT_EQ(run->UnlistedMoves, std::vector<std::string>{}) << "moves outside the state table";
    }
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
  // Bench milliseconds between the run's commands at the two indexes.
  std::int64_t MsBetween(std::size_t from, std::size_t to) const {
    const auto times = bench->CommandTimesMs(0);
    return times.at(commandsBeforeRun_ + to) - times.at(commandsBeforeRun_ + from);
  }

  // Log lines against expectations, line by line (an expectation ending in "*" matches any line
  // beginning with the rest).
  static void ExpectLinesMatch(const std::vector<std::string>& expected,
                               const std::vector<std::string>& actual) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_TRUE(session::LineMatches(expected[i], actual[i]))
          << "line " << i << ": " << actual[i];
    }
  }

  // A run ended by the answer to its last prompt: `prompts` prompts, the last asking `message`
  // with `flags` under "Error", no command after it, the row failed and no later row started,
  // the memo ending in the error line, "Error", and the run ended once.
  void ExpectEndedAtPrompt(std::size_t prompts, int row, const std::string& message, unsigned flags,
                           const std::string& lastCommand) {
    ASSERT_EQ(Prompts().size(), prompts);
    EXPECT_EQ(Prompts().back().text, message);
    EXPECT_EQ(Prompts().back().caption, "Error");
    EXPECT_EQ(Prompts().back().flags, flags);
    EXPECT_EQ(Commands().back(), lastCommand) << "no command after the answer";
    const auto icons = Icons();
    EXPECT_EQ(icons.at(static_cast<std::size_t>(row)), kIconFailed);
    for (std::size_t r = static_cast<std::size_t>(row) + 1; r < icons.size(); ++r) {
      EXPECT_EQ(icons[r], kIconNone) << "row " << r << " was not started";
    }
    EXPECT_EQ(Memo().back(), session::ErrorLine(message));
    EXPECT_EQ(ResultWord(), "Error");
    EXPECT_EQ(toolkit_.ModalShowings(), 1) << "the run ended once";
    EXPECT_EQ(form().Button1.Caption(), "Start");
  }

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
