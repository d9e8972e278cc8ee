// The headless window toolkit and the in-memory controls: invokes from a worker, the GUI loop,
// timers, scripted message boxes, modal dialogs and the operator actions on controls.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ui/Controls.h"
#include "ui/Toolkit.h"
#include "ui/headless/HeadlessToolkit.h"
#include "ui/headless/MessageScript.h"

namespace {

using ui::headless::HeadlessToolkit;
using ui::headless::PromptRecord;
using ui::headless::TimerMode;

class HeadlessToolkitTest : public ::testing::Test {
 protected:
  HeadlessToolkitTest() { ui::SetToolkit(&toolkit); }

  // Runs body on a worker thread while this (GUI) thread runs the loop, as a test run does.
  void RunOnWorker(const std::function<void()>& body) {
    std::atomic<bool> finished{false};
    std::thread worker([&] {
      body();
      finished = true;
    });
    toolkit.RunUntil([&] { return finished.load(); });
    worker.join();
  }

  HeadlessToolkit toolkit;
};

// --- invoke and post --------------------------------------------------------------------------

TEST_F(HeadlessToolkitTest, InvokesFromWorkerRunOnGuiThreadInOrderAndSynchronously) {
  constexpr int kCalls = 500;
  std::vector<int> applied;  // touched only on the GUI thread
  int offGuiThread = 0;
  int notYetVisible = 0;  // worker's own counts
  RunOnWorker([&] {
    for (int i = 0; i < kCalls; ++i) {
      bool onGui = false;
      toolkit.Invoke([&] {
        onGui = ui::IsGuiThread();
        applied.push_back(i);
      });
      if (!onGui) ++offGuiThread;
      if (applied.size() != static_cast<size_t>(i + 1) || applied.back() != i) ++notYetVisible;
    }
  });
  EXPECT_EQ(offGuiThread, 0);
  EXPECT_EQ(notYetVisible, 0);
  ASSERT_EQ(applied.size(), static_cast<size_t>(kCalls));
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(applied[static_cast<size_t>(i)], i);
}

TEST_F(HeadlessToolkitTest, PostsAndInvokesFromOneThreadKeepCallOrder) {
  std::vector<std::string> order;
  RunOnWorker([&] {
    toolkit.Post([&] { order.push_back("post 1"); });
    toolkit.Post([&] { order.push_back("post 2"); });
    toolkit.Invoke([&] { order.push_back("invoke"); });
  });
  EXPECT_EQ(order, (std::vector<std::string>{"post 1", "post 2", "invoke"}));
}

TEST_F(HeadlessToolkitTest, InvokeOnGuiThreadRunsAtOnceWithoutTheLoop) {
  bool ran = false;
  toolkit.Invoke([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST_F(HeadlessToolkitTest, InvokeRethrowsToTheWorker) {
  std::string caught;
  RunOnWorker([&] {
    try {
      toolkit.Invoke([] { throw std::runtime_error("control gone"); });
    } catch (const std::runtime_error& error) {
      caught = error.what();
    }
  });
  EXPECT_EQ(caught, "control gone");
}

TEST_F(HeadlessToolkitTest, PostedWorkRunsInOrderOnTheLoop) {
  std::vector<int> order;
  for (int i = 0; i < 3; ++i) toolkit.Post([&order, i] { order.push_back(i); });
  EXPECT_TRUE(order.empty());
  toolkit.RunUntil([&] { return order.size() == 3; });
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST_F(HeadlessToolkitTest, DestroyedToolkitUninstallsItself) {
  {
    HeadlessToolkit inner;
    ui::SetToolkit(&inner);
    EXPECT_EQ(ui::InstalledToolkit(), &inner);
  }
  EXPECT_EQ(ui::InstalledToolkit(), nullptr);
}

// --- timers -----------------------------------------------------------------------------------

TEST_F(HeadlessToolkitTest, TimerDisabledInItsHandlerFiresNoMore) {
  ui::Form form("Form1", 100, 100);
  ui::Timer timer(&form, "Timer1", 60000);  // virtual time: the interval does not delay it
  int fired = 0;
  timer.onTimer = [&] {
    if (++fired == 3) timer.SetEnabled(false);
  };
  toolkit.RunUntil([&] { return fired == 3; });
  for (int pass = 0; pass < 5; ++pass) toolkit.RunPending();
  EXPECT_EQ(fired, 3);
}

TEST_F(HeadlessToolkitTest, TimerEnabledByWorkerFiresOnGuiThread) {
  ui::Timer timer(nullptr, "Timer1", 5);
  timer.SetEnabled(false);
  bool firedOnGui = false;
  timer.onTimer = [&] {
    firedOnGui = ui::IsGuiThread();
    timer.SetEnabled(false);
  };
  EXPECT_FALSE(toolkit.RunPending());
  RunOnWorker([&] { toolkit.Invoke([&] { timer.SetEnabled(true); }); });
  toolkit.RunUntil([&] { return !timer.Enabled(); });
  EXPECT_TRUE(firedOnGui);
}

TEST_F(HeadlessToolkitTest, TimerDestroyedByAnotherTimerOfTheSamePassIsNotFired) {
  // Each destroys the other: whichever fires first, the other must never fire.
  auto first = std::make_unique<ui::Timer>(nullptr, "Timer1", 5);
  auto second = std::make_unique<ui::Timer>(nullptr, "Timer2", 5);
  int fired = 0;
  first->onTimer = [&] {
    ++fired;
    second.reset();
  };
  second->onTimer = [&] {
    ++fired;
    first.reset();
  };
  toolkit.RunPending();  // one pass in which both are due
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(first == nullptr || second == nullptr);
}

TEST(HeadlessRealTimeTimer, FiresWhenItsIntervalHasElapsed) {
  HeadlessToolkit toolkit(TimerMode::kRealTime);
  ui::SetToolkit(&toolkit);
  ui::Timer timer(nullptr, "Timer1", 1);
  int fired = 0;
  timer.onTimer = [&] { ++fired; };
  toolkit.RunUntil([&] { return fired >= 2; });
  EXPECT_GE(fired, 2);
}

// --- message boxes ----------------------------------------------------------------------------

struct ScriptCase {
  const char* name;
  unsigned flags;
  std::vector<int> script;
  std::vector<int> expected;  // answers of consecutive boxes
};

class MessageBoxScript : public HeadlessToolkitTest,
                         public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(MessageBoxScript, AnswersFromScriptThenSafeDefault) {
  const ScriptCase& c = GetParam();
  toolkit.SetAnswers(c.script);
  std::vector<int> answers;
  for (size_t i = 0; i < c.expected.size(); ++i) {
    answers.push_back(toolkit.MessageBox(nullptr, "Step failed.", "Error", c.flags));
  }
  EXPECT_EQ(answers, c.expected);
  EXPECT_EQ(toolkit.AnswersLeft(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    BoxTypes, MessageBoxScript,
    ::testing::Values(
        ScriptCase{"RetryThenCancel",
                   ui::kMbRetryCancel | ui::kMbIconError,
                   {ui::kIdRetry, ui::kIdRetry},
                   {ui::kIdRetry, ui::kIdRetry, ui::kIdCancel}},
        ScriptCase{"TryAgainContinueThenCancel",
                   ui::kMbCancelTryContinue | ui::kMbIconError,
                   {ui::kIdTryAgain, ui::kIdContinue},
                   {ui::kIdTryAgain, ui::kIdContinue, ui::kIdCancel}},
        ScriptCase{"OkBoxDefaultsToOk", ui::kMbOk | ui::kMbIconError, {}, {ui::kIdOk}},
        ScriptCase{
            "OkCancelDefaultsToCancel", ui::kMbOkCancel, {ui::kIdOk}, {ui::kIdOk, ui::kIdCancel}},
        // An answer the box does not offer is used up and the box gets its default.
        ScriptCase{"ForeignAnswerUsedUp",
                   ui::kMbRetryCancel | ui::kMbIconWarning,
                   {ui::kIdContinue, ui::kIdRetry},
                   {ui::kIdCancel, ui::kIdRetry}},
        ScriptCase{"OkOnRetryBoxIsCancel", ui::kMbRetryCancel, {ui::kIdOk}, {ui::kIdCancel}},
        ScriptCase{"UnsupportedTypeFails", 0x4u, {}, {0}}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return std::string(info.param.name); });

TEST_F(HeadlessToolkitTest, PromptsFromWorkerAreRecordedAndObservedInOrder) {
  ui::Form owner("Form1", 100, 100);
  toolkit.SetAnswers({ui::kIdRetry});
  std::vector<std::string> observed;
  std::vector<bool> observedOnGui;
  toolkit.SetPromptObserver([&](const PromptRecord& prompt) {
    observed.push_back(prompt.text);
    observedOnGui.push_back(ui::IsGuiThread());
  });
  // No loop runs meanwhile: a message box must not need the GUI thread.
  std::thread worker([&] {
    toolkit.MessageBox(&owner, "Load the disc.", "Error", ui::kMbRetryCancel | ui::kMbIconWarning);
    toolkit.MessageBox(&owner, "Tray did not open.", "Error",
                       ui::kMbRetryCancel | ui::kMbIconError);
  });
  worker.join();

  EXPECT_EQ(observed, (std::vector<std::string>{"Load the disc.", "Tray did not open."}));
  EXPECT_EQ(observedOnGui, (std::vector<bool>{false, false}));
  const std::vector<PromptRecord> prompts = toolkit.Prompts();
  ASSERT_EQ(prompts.size(), 2u);
  EXPECT_EQ(prompts[0].owner, "Form1");
  EXPECT_EQ(prompts[0].caption, "Error");
  EXPECT_EQ(prompts[0].flags, ui::kMbRetryCancel | ui::kMbIconWarning);
  EXPECT_EQ(prompts[0].answer, ui::kIdRetry);
  EXPECT_FALSE(prompts[0].defaulted);
  EXPECT_FALSE(prompts[0].onGuiThread);
  EXPECT_EQ(prompts[1].answer, ui::kIdCancel);
  EXPECT_TRUE(prompts[1].defaulted);
}

TEST(AnswerScript, ParsesNamesInAnyCaseAndBlanks) {
  std::vector<int> answers;
  std::string error;
  ASSERT_TRUE(
      ui::headless::ParseAnswerScript(" Retry,tryagain , CONTINUE,ok,cancel", answers, error));
  EXPECT_EQ(answers, (std::vector<int>{ui::kIdRetry, ui::kIdTryAgain, ui::kIdContinue, ui::kIdOk,
                                       ui::kIdCancel}));
  ASSERT_TRUE(ui::headless::ParseAnswerScript("  ", answers, error));
  EXPECT_TRUE(answers.empty());
}

TEST(AnswerScript, RejectsUnknownOrEmptyNamesAndKeepsTheOldScript) {
  const struct {
    const char* text;
    const char* mentions;
  } cases[] = {
      {"retry,abort", "\"abort\""}, {"retry,,cancel", "position 2"}, {"retry,", "position 2"}};
  for (const auto& c : cases) {
    std::vector<int> answers{ui::kIdOk};
    std::string error;
    EXPECT_FALSE(ui::headless::ParseAnswerScript(c.text, answers, error)) << c.text;
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    EXPECT_NE(error.find("tryagain"), std::string::npos) << error;
    EXPECT_EQ(answers, std::vector<int>{ui::kIdOk}) << c.text;
  }
}

// --- modal dialogs ----------------------------------------------------------------------------

TEST_F(HeadlessToolkitTest, ModalDialogIsObservedOpenAndClosedAtOnce) {
  ui::Form dialog("Form2", 409, 325);
  std::vector<bool> openWhenObserved;
  toolkit.SetModalObserver([&](ui::Form& form) { openWhenObserved.push_back(form.modalOpen); });
  toolkit.ShowModal(dialog);
  toolkit.ShowModal(dialog);
  EXPECT_EQ(openWhenObserved, (std::vector<bool>{true, true}));
  EXPECT_FALSE(dialog.modalOpen);
  EXPECT_EQ(toolkit.ModalShowings(), 2);
}

// --- controls ---------------------------------------------------------------------------------

class CountingPeer : public ui::Peer {
 public:
  void Changed(ui::Control&) override { ++changes; }
  int changes = 0;
};

TEST(ComboBox, PickAndTypeFireOnChangeSetItemIndexDoesNot) {
  ui::ComboBox combo(nullptr, "ComboBox1", {});
  combo.AddItem("[0] TM36K");
  combo.AddItem("[1] ZP61");
  std::vector<int> indexSeen;
  combo.onChange = [&] { indexSeen.push_back(combo.ItemIndex()); };

  combo.SetItemIndex(1);
  EXPECT_EQ(combo.Text(), "[1] ZP61");
  EXPECT_TRUE(indexSeen.empty());

  combo.PickItem(0);
  EXPECT_EQ(combo.Text(), "[0] TM36K");
  combo.PickItem(0);           // the same pick again still notifies
  combo.PickItem(2);           // not in the list: ignored
  combo.TypeText("[1] ZP61");  // typed text selects nothing, even an item's text
  EXPECT_EQ(combo.Text(), "[1] ZP61");
  EXPECT_EQ(indexSeen, (std::vector<int>{0, 0, -1}));

  combo.SetItemIndex(5);
  EXPECT_EQ(combo.ItemIndex(), -1);
  EXPECT_EQ(combo.Text(), "");
}

TEST(ListView, ImageIndexOutsideTheListIsIgnored) {
  ui::ListView list(nullptr, "ListView1", {});
  list.AddItem("Get device information", 0);
  list.AddItem("Load disc", 0);
  list.SetImageIndex(-1, 2);
  list.SetImageIndex(2, 2);
  list.SetImageIndex(1, 3);
  EXPECT_EQ(list.Items()[0].imageIndex, 0);
  EXPECT_EQ(list.Items()[1].imageIndex, 3);
}

TEST(Button, ClickDoesNothingWhileDisabled) {
  ui::Button button(nullptr, "Button2", {});
  int clicks = 0;
  button.onClick = [&] { ++clicks; };
  button.SetEnabled(false);
  button.Click();
  EXPECT_EQ(clicks, 0);
  button.SetEnabled(true);
  button.Click();
  EXPECT_EQ(clicks, 1);
}

TEST(Control, ChildrenFollowCreationAndDestruction) {
  auto form = std::make_unique<ui::Form>("Form1", 563, 389);
  auto orphan = std::make_unique<ui::Label>(form.get(), "Label2", ui::Rect{});
  {
    ui::Label label(form.get(), "Label1", ui::Rect{});
    EXPECT_EQ(form->Children(), (std::vector<ui::Control*>{orphan.get(), &label}));
  }
  EXPECT_EQ(form->Children(), std::vector<ui::Control*>{orphan.get()});
  form.reset();  // the parent goes first: the child must not reach back into it
  EXPECT_EQ(orphan->Parent(), nullptr);
}

TEST(Control, PeerHearsOfEveryChange) {
  ui::Memo memo(nullptr, "Memo1", {});
  CountingPeer peer;
  memo.AttachPeer(&peer);
  memo.Append("TM36K test");
  memo.SetCaption("Memo1");
  memo.SetEnabled(false);
  memo.Clear();
  EXPECT_EQ(peer.changes, 4);
}

}  // namespace
