// The step list resources and the status operations: icons, memo lines and log lines together.
#include <gtest/gtest.h>

#include <cstdio>

#include "device/CommandLink.h"
#include "device/Device.h"
#include "platform/sim/SimPlatform.h"
#include "report/RunRecord.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "ui/Controls.h"
#include "ui/headless/HeadlessToolkit.h"

namespace {

class StepStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetPlatform(&sim_);
    ui::SetToolkit(&toolkit_);
    CreateLogLines();
    BeginRunRows(run_, "LIST_TM36K");
    ASSERT_EQ(run_.Rows.size(), 11u);
    run_.HeadingLogged = false;
    run_.RetryPending = false;
    run_.RetryCount = 0;
  }
  void TearDown() override {
    ReleaseLogLines();
    ui::SetToolkit(nullptr);
    platform::SetPlatform(nullptr);
  }
  std::vector<std::string> Log() const {
    std::vector<std::string> out;
    for (const std::string& line : LogLinesSnapshot()) {
      out.push_back(UnscrambleLogText(line.substr(kLogPrefixLength),
                                      LogOffsetForPrefix(line.substr(0, kLogPrefixLength))));
    }
    return out;
  }

  platform::sim::SimPlatform sim_;
  ui::headless::HeadlessToolkit toolkit_;
  RunContext run_{nullptr, platform::kInvalidHandle};
};

}  // namespace

TEST(StepListResources, RowsOfEveryList) {
  platform::sim::SimPlatform sim;
  platform::SetPlatform(&sim);
  const std::pair<const char*, std::size_t> lists[] = {
      {"LIST_TM36K", 11}, {"LIST_TM36P", 17}, {"LIST_LQ40", 11}, {"LIST_HV22", 10},
      {"LIST_ZP61", 14},  {"LIST_ZP65", 17},  {"LIST_ZP71", 14}, {"LIST_ZP75", 17}};
  for (const auto& [name, rows] : lists) {
    RunContext run(nullptr, platform::kInvalidHandle);
    BeginRunRows(run, name);
    EXPECT_EQ(run.Rows.size(), rows) << name;
    for (const RunRow& row : run.Rows) EXPECT_EQ(row.icon, kIconNone);
  }
  const std::vector<std::string> zp61 = LoadStepList("LIST_ZP61");
  EXPECT_EQ(zp61.at(9), "Lower tray close ");
  EXPECT_EQ(zp61.at(1), "Check output bin");
  EXPECT_TRUE(LoadStepList("LIST_NONE").empty());
  platform::SetPlatform(nullptr);
}

TEST(StepListResources, SplitAtEveryLineBreak) {
  const std::string text = "a\r\nb\n\nc\rd\r\n";
  EXPECT_EQ(SplitStepList(text.data(), text.size()),
            (std::vector<std::string>{"a", "b", "c", "d"}));
  const std::string noFinalBreak = "x\r\ny";
  EXPECT_EQ(SplitStepList(noFinalBreak.data(), noFinalBreak.size()),
            (std::vector<std::string>{"x", "y"}));
}

TEST_F(StepStatusTest, HeadingOnceAndSeparatorOnlyWhenNeeded) {
  WriteLogText("AT+? = OK AT+O");  // the log does not end with a separator
  StepBegin(run_, 0);
  StepBegin(run_, 0);  // a second call before the outcome writes nothing
  StepPassed(run_, 0, nullptr);
  StepBegin(run_, 1);  // the passed step closed with hyphens: no second separator
  EXPECT_EQ(Log(),
            (std::vector<std::string>{"AT+? = OK AT+O", kLogSeparator, "[1] Get device information",
                                      kLogSeparator, "[2] Check if printer is online"}));
}

TEST_F(StepStatusTest, SeparatorRuleLooksAtTheLastMessage) {
  struct Case {
    const char* last;
    bool separator;
  };
  const Case cases[] = {
      {"========================================", true},  // the host report's closing line
      {"----------------------------------------", true},
      {"x-------------------------", true},  // characters 2 to 26 alike
      {"-------------------------", false},  // 25 characters: too short
      {"------------------------x-", false},
      {"Test program version : 1", false},
  };
  for (const Case& c : cases) {
    ReleaseLogLines();
    CreateLogLines();
    run_.HeadingLogged = false;
    {
      ScopedLogOwner owner(run_.Id);  // the run's own line: the station's would not count
      WriteLogText(c.last);
    }
    StepBegin(run_, 2);
    const auto log = Log();
    EXPECT_EQ(log.size(), c.separator ? 2u : 3u) << c.last;
  }
}

TEST_F(StepStatusTest, PassedTextAndNoLine) {
  StepBegin(run_, 0);
  StepPassed(run_, 0, "HV22 On Line & HV22 Port_[2] = OK");
  StepBegin(run_, 1);
  StepPassed(run_, 1, "NOLINE");
  StepBegin(run_, 2);
  StepPassed(run_, 2, "not logged", RowLog::kLeaveOpen);
  StepBegin(run_, 3);
  const auto log = Log();
  const std::vector<std::string> expected = {
      kLogSeparator, "[1] Get device information", "HV22 On Line & HV22 Port_[2] = OK",
      kLogSeparator, "[2] Check if printer is online",
      // "NOLINE" and a row left open logged nothing, so the next heading brings its own separator.
      kLogSeparator, "[3] Switch to CD/DVD mode", kLogSeparator,
      "[4] Tray moves to the loading area"};
  EXPECT_EQ(log, expected);
}

TEST_F(StepStatusTest, IconsMemoAndFlags) {
  StepBegin(run_, 0);
  StepPassed(run_, 0, nullptr);
  StepBegin(run_, 1);
  run_.RetryPending = true;
  run_.RetryCount = 7;
  StepFailed(run_, 1, "Printer 50% offline");  // a "%" in a message is text, not a conversion
  EXPECT_TRUE(run_.HeadingLogged);
  EXPECT_FALSE(run_.RetryPending);
  EXPECT_EQ(run_.RetryCount, 0);
  StepBegin(run_, 1);
  StepWarned(run_, 1, "Drive is slow");
  EXPECT_FALSE(run_.HeadingLogged);
  EXPECT_EQ(run_.Rows[0].icon, kIconPassed);
  EXPECT_EQ(run_.Rows[1].icon, kIconWarned);
  EXPECT_EQ(run_.ResultLines,
            (std::vector<std::string>{
                " 1. Get device information", "    [OK] The task has been fulfilled.",
                "---------------------------------------------", " 2. Check if printer is online",
                "    [ERROR] Printer 50% offline", "    [WARNING] Drive is slow"}));
  // The failure is logged; the warning is not (steps log their warning text themselves).
  const auto log = Log();
  EXPECT_EQ(log.back(), "    [ERROR] Printer 50% offline");
}

TEST_F(StepStatusTest, TwoRunsKeepTheirOwnRowsLinesAndRecords) {
  // Each run gathers its marks, result lines and record in itself: the other's reports, however
  // they interleave, never reach it.
  DeviceEntry entry;
  RunContext other(nullptr, platform::kInvalidHandle);
  BeginRunRows(other, "LIST_HV22");
  BeginRunRecord(run_, entry, "[0] TM36K", 0);
  BeginRunRecord(other, entry, "[1] HV22", 1);
  StepBegin(run_, 0);
  StepBegin(other, 0);
  StepFailed(other, 0, "No reply");
  StepPassed(run_, 0, nullptr);
  NotePrompt(other, "No reply", "Error", ui::kMbRetryCancel | ui::kMbIconError, ui::kIdCancel);

  EXPECT_EQ(run_.Rows[0].icon, kIconPassed);
  EXPECT_EQ(other.Rows[0].icon, kIconFailed);
  EXPECT_EQ(run_.ResultLines, (std::vector<std::string>{" 1. Get device information",
                                                        "    [OK] The task has been fulfilled."}));
  EXPECT_EQ(other.ResultLines.back(), "    [ERROR] No reply");
  EXPECT_EQ(run_.Record.current.rows[0].icon, "passed");
  EXPECT_TRUE(run_.Record.current.rows[0].prompts.empty());
  EXPECT_EQ(other.Record.current.rows[0].icon, "failed");
  ASSERT_EQ(other.Record.current.rows[0].prompts.size(), 1u);
  EXPECT_EQ(other.Record.current.rows[0].prompts[0].answer, "Cancel");
}

// A run's end marks only a row the run had not finished: the row it was on when begun and not
// marked, else the next one. After the last row has passed or warned the ending adds nothing (no
// row, no memo or log line, no record line) and the result word is that of the rows as they are.
TEST_F(StepStatusTest, AnEndingMarksOnlyARowTheRunHadNotFinished) {
  struct Case {
    const char* name;
    int row;   // the row the run was on
    int icon;  // its mark then (kIconNone: begun, not finished)
    RunEnding ending;
    int failedRow;  // the row the ending fails; -1: none
    const char* result;
  };
  constexpr int kLast = 10;  // LIST_TM36K has 11 rows
  const Case cases[] = {
      {"LinkLostAfterTheLastRowPassed", kLast, kIconPassed, RunEnding::kLinkLost, -1, "Success"},
      {"LinkLostAfterTheLastRowWarned", kLast, kIconWarned, RunEnding::kLinkLost, -1, "Warning"},
      {"CancelledAfterTheLastRowPassed", kLast, kIconPassed, RunEnding::kCancelled, -1, "Success"},
      {"LinkLostInTheLastRow", kLast, kIconNone, RunEnding::kLinkLost, kLast, "Error"},
      {"LinkLostAfterARowPassed", 4, kIconPassed, RunEnding::kLinkLost, 5, "Error"},
      {"CancelledAfterARowWarned", 4, kIconWarned, RunEnding::kCancelled, 5, "Error"},
      {"LinkLostAfterARowFailed", 4, kIconFailed, RunEnding::kLinkLost, -1, "Error"},
      {"CompletedAfterARowPassed", 4, kIconPassed, RunEnding::kCompleted, -1, "Success"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseLogLines();
    CreateLogLines();
    DeviceEntry entry;
    RunContext run(nullptr, platform::kInvalidHandle);
    BeginRunRows(run, "LIST_TM36K");
    BeginRunRecord(run, entry, "[0] TM36K", 0);
    for (int r = 0; r < c.row; ++r) {
      StepBegin(run, r);
      StepPassed(run, r, nullptr);
    }
    StepBegin(run, c.row);
    if (c.icon == kIconPassed) StepPassed(run, c.row, nullptr);
    if (c.icon == kIconWarned) StepWarned(run, c.row, "Drive is slow");
    if (c.icon == kIconFailed) StepFailed(run, c.row, "No reply");
    const std::vector<std::string> lines = run.ResultLines;
    const std::vector<std::string> log = Log();
    const RunRecord before = RecordOf(run);

    if (c.ending == RunEnding::kLinkLost) NoteLinkLost(run);  // as the worker's EndRun does
    MarkRunEnding(run, c.ending);

    std::vector<std::string> memo = lines;
    if (c.failedRow >= 0) {
      if (c.failedRow != c.row) {
        memo.push_back(kResultSeparator);
        char heading[160];
        std::snprintf(heading, sizeof heading, "%2d. %s", c.failedRow + 1,
                      run.Rows[static_cast<std::size_t>(c.failedRow)].caption.c_str());
        memo.push_back(heading);
      }
      memo.push_back(std::string("    [ERROR] ") +
                     (c.ending == RunEnding::kLinkLost ? kStoppedAnswering : kTestCancelled));
    }
    EXPECT_EQ(run.ResultLines, memo);
    if (c.failedRow < 0) {
      EXPECT_EQ(Log(), log) << "nothing logged";
    }
    ASSERT_EQ(run.Rows.size(), 11u) << "no row added";
    const RunRecord after = RecordOf(run);
    ASSERT_EQ(after.rows.size(), before.rows.size());
    for (std::size_t r = 0; r < run.Rows.size(); ++r) {
      const int row = static_cast<int>(r);
      const int icon = row == c.failedRow ? kIconFailed
                       : row < c.row      ? kIconPassed
                       : row == c.row     ? c.icon
                                          : kIconNone;
      EXPECT_EQ(run.Rows[r].icon, icon) << "row " << r;
      EXPECT_EQ(after.rows[r].icon, IconWord(icon)) << "row " << r;
      if (row != c.failedRow) {
        EXPECT_EQ(after.rows[r].memo, before.rows[r].memo) << "row " << r;
      }
    }
    EXPECT_STREQ(ResultWordOf(run.Rows), c.result);
  }
}

TEST_F(StepStatusTest, RowsPastTheListDoNotFail) {
  run_.Rows.clear();
  StepBegin(run_, 12);
  StepPassed(run_, 12, nullptr);
  StepBegin(run_, 13);
  StepFailed(run_, 13, "gone");
  EXPECT_EQ(run_.ResultLines.back(), "    [ERROR] gone");
  EXPECT_TRUE(run_.Rows.empty());
}

TEST_F(StepStatusTest, StepNumbersAbove9AreNotPadded) {
  BeginRunRows(run_, "LIST_TM36P");
  StepBegin(run_, 9);
  EXPECT_EQ(run_.ResultLines[1], "10. Pick up disc");
}
