// The headless window-toolkit backend (tests, CLI): the GUI loop runs on the thread that creates
// it; it owns the work queue, the timer list, the message-box answer script and the prompt record.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/Toolkit.h"

namespace ui::headless {

enum class TimerMode {
  kImmediate,  // virtual time: an enabled timer fires on every pass of the loop, whatever its
               // interval
  kRealTime,   // a timer fires each time its interval has elapsed on the steady clock
};

// One message box as it was shown and answered.
struct PromptRecord {
  std::string owner;   // name of the owner form; empty without owner
  std::string origin;  // the run it belongs to (ui::BoxOrigin), empty for none
  std::string text;
  std::string caption;
  unsigned flags = 0;
  int answer = 0;
  bool defaulted = false;  // not answered from the script: the box's safe default (or 0) was given
  int unfitting = 0;       // a scripted answer that is none of the box's buttons (used up), or 0
  bool onGuiThread = false;
  std::thread::id thread;
};

// Message boxes are answered from a script of button ids, one answer per box in order of showing.
// A box whose next scripted answer is not one of its buttons uses up that answer and gets its
// safe default (SafeDefaultAnswer: Cancel, or OK for a one-button box), as does every box once
// the script is empty, so that an unattended run ends rather than retries forever.
// Modal dialogs are closed by the headless operator at once: ShowModal sets the form's
// modalOpen, tells the modal observer (which may read or print the form), clears modalOpen and
// returns.
class HeadlessToolkit : public Toolkit {
 public:
  // The calling thread becomes the GUI thread.
  explicit HeadlessToolkit(TimerMode timerMode = TimerMode::kImmediate);
  // Uninstalls itself when installed. Aborts if a thread is still blocked in Invoke (a shut-down
  // order fault: that thread would wait forever); work only posted is dropped.
  ~HeadlessToolkit() override;
  HeadlessToolkit(const HeadlessToolkit&) = delete;
  HeadlessToolkit& operator=(const HeadlessToolkit&) = delete;

  bool IsGuiThread() const override;
  // From another thread: queued behind earlier work, run by the GUI loop; blocks until it has run
  // and rethrows what fn threw. On the GUI thread: runs at once.
  void Invoke(const std::function<void()>& fn) override;
  void Post(std::function<void()> fn) override;
  // Any thread; answers at once from the script, never waits for the GUI loop. The record is
  // kept and the prompt observer is called on the calling thread before the answer is returned.
  int MessageBox(Form* owner, const std::string& text, const std::string& caption,
                 unsigned flags) override;
  // GUI thread only (both abort elsewhere). See the class comment.
  void ShowModal(Form& form) override;
  void CloseModal(Form& form) override;
  void RegisterTimer(Timer* timer) override;
  void UnregisterTimer(Timer* timer) override;
  // GUI thread only. Each pass runs the work queued at its start, then fires the due timers;
  // done() is checked after every piece of work. When a pass did nothing the loop sleeps until
  // new work arrives, or at most kIdleWaitMs, so conditions set by other threads are seen soon.
  void RunUntil(const std::function<bool()>& done) override;
  // GUI thread only: one pass of the loop without waiting; true if anything ran.
  bool RunPending();

  TimerMode Mode() const { return timerMode_; }

  // When the window's own work may run. A simulated clock on which several runs take turns
  // lets the window act only between turns, so that a session goes the same way every time:
  // posted work and timers wait for the window's turn, while invokes of the worker that has
  // the turn run at once (that worker waits for them). An empty gate lets the window act
  // whenever it likes. GUI thread, before the loop runs.
  struct WindowGate {
    std::function<bool()> tryBegin;  // true: the window's turn has begun
    std::function<void()> end;
    std::function<bool()> offered;  // the window has been given the turn it asked for
    std::function<void()> want;     // the window has work: the next turn is its
  };
  void SetWindowGate(WindowGate gate);
  // Runs fn as the window's own work (an operator's click), once the window has its turn; the
  // worker that has the turn meanwhile is served. GUI thread.
  void RunAsWindowWork(const std::function<void()>& fn);

  // The answer script (button ids, e.g. from ParseAnswerScript); replaces what is left of it.
  void SetAnswers(std::vector<int> answers);
  // Boxes of a run (ui::BoxOrigin not empty) answered from a script per run instead: `own`
  // where it names the run, else a fresh copy of `each`. Boxes of no run still take the
  // script above. Replaces what is left of earlier scripts per run.
  void SetAnswersPerRun(std::vector<int> each, const std::map<std::string, std::vector<int>>& own);
  // When set, a box of no run (the program's own, ui::BoxOrigin empty) takes no scripted answer:
  // it gets its safe default and leaves every script as it was.
  void SetScriptForRunsOnly(bool runsOnly);
  size_t AnswersLeft() const;
  // Every prompt so far, in order of showing. Any thread.
  std::vector<PromptRecord> Prompts() const;
  // Called for each prompt on the thread that showed it, one prompt at a time and in the order of
  // the record. It may read Prompts() but must not show a message box itself.
  void SetPromptObserver(std::function<void(const PromptRecord&)> observer);
  // GUI thread: called with the form each time ShowModal shows one.
  void SetModalObserver(std::function<void(Form&)> observer);
  // How many times ShowModal has shown a form.
  int ModalShowings() const { return modalShowings_.load(); }

  static constexpr int kIdleWaitMs = 2;

 private:
  struct Invocation {
    const std::function<void()>* fn;
    bool done = false;
    std::exception_ptr error;
  };
  struct Work {
    std::function<void()> posted;
    Invocation* invocation = nullptr;  // set for an Invoke from another thread
  };
  struct TimerSlot {
    Timer* timer;
    bool running = false;  // enabled when last looked at
    std::chrono::steady_clock::time_point due;
  };

  void RequireGuiThread(const char* operation) const;
  bool RunQueuedWork(const std::function<bool()>& done, bool windowTurn = true);
  bool RunOneQueued(bool windowTurn);
  // True when posted work waits or a timer is enabled: the window has work of its own.
  bool HasOwnWork() const;
  // One pass of the loop under the window gate.
  bool RunPass(const std::function<bool()>& done);
  bool FireDueTimers(const std::function<bool()>& done);
  std::vector<Timer*> TakeDueTimers();
  bool IsRegistered(Timer* timer) const;
  void WaitForWork();
  int NextAnswer(const std::string& origin, unsigned flags, bool& defaulted, int& unfitting);

  const std::thread::id guiThread_;
  const TimerMode timerMode_;

  mutable std::mutex queueMutex_;
  std::condition_variable workQueued_;
  std::condition_variable invocationDone_;
  std::deque<Work> queue_;

  mutable std::mutex timerMutex_;
  std::vector<TimerSlot> timers_;

  std::mutex observerMutex_;  // one prompt at a time, observer included
  std::function<void(const PromptRecord&)> promptObserver_;
  mutable std::mutex promptMutex_;
  std::deque<int> script_;
  bool perRun_ = false;
  bool runsOnly_ = false;
  std::vector<int> eachRun_;
  std::map<std::string, std::deque<int>> runScripts_;
  std::vector<PromptRecord> prompts_;

  WindowGate gate_;
  std::function<void(Form&)> modalObserver_;
  std::atomic<int> modalShowings_{0};
};

}  // namespace ui::headless
