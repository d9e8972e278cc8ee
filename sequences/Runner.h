// The worker of a run and the frame every family shares: a thread created running by Start that
// calls the family's step handlers once per cycle, in descending state order, with a 500 ms pause
// between cycles. The console owns the worker object and joins it once the run has ended.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "device/CommandLink.h"
#include "report/RunState.h"
#include "report/StepList.h"

// The caption of every failure prompt.
inline constexpr const char* kErrorCaption = "Error";

// A running worker owns its run: the console gives it the run context at Start and takes it back
// once the worker is joined.
class SequenceWorker {
 public:
  explicit SequenceWorker(std::unique_ptr<RunContext> run) : run_(std::move(run)) {}
  virtual ~SequenceWorker() = default;
  SequenceWorker(const SequenceWorker&) = delete;
  SequenceWorker& operator=(const SequenceWorker&) = delete;

  // The run this worker tests. Its atomics may be read from any thread; its rows only on the
  // GUI thread.
  RunContext& Run() { return *run_; }
  const RunContext& Run() const { return *run_; }
  // After Join: the run goes back to the console, which reads its result.
  std::unique_ptr<RunContext> ReleaseRun() { return std::move(run_); }

  // Asks the worker to end after its current cycle (shut-down); does not wait.
  virtual void RequestStop() = 0;
  // True once the thread has done its last act (RunActive cleared, Timer1 enabled).
  virtual bool Finished() const = 0;
  // Waits for the thread to end. Call it once Finished() is true, or keep the GUI loop running
  // while waiting: the worker's last act is an invoke on the GUI thread.
  virtual void Join() = 0;

 private:
  std::unique_ptr<RunContext> run_;
};

// The runner frame. A family derives from it, names its highest state and its handlers.
class TSequenceThread : public SequenceWorker {
 public:
  // Sets RunActive; the thread starts with Start(), once the family object is complete.
  explicit TSequenceThread(std::unique_ptr<RunContext> run);
  ~TSequenceThread() override;
  void Start();

  void RequestStop() override { terminated_ = true; }
  bool Finished() const override { return finished_; }
  void Join() override;

 protected:
  // The runner loop.
  virtual void Execute();
  // The highest state number, the family enum's last; handlers run from it down to 0 each cycle.
  virtual int HighestState() const = 0;
  // Runs the handler of `state`; it acts only when StepState equals its number.
  virtual void RunHandler(int state) = 0;

  // Clears RunActive: the runner leaves its loop after this cycle. The first ending given is the
  // one the run keeps (a Cancel inside the last step stays a Cancel).
  void EndRun(RunEnding ending);
  // A prompt of the run's host, shown on the GUI thread and owned by the main window, caption
  // "Error" unless given; blocks this thread until answered. Once shut-down has asked the worker
  // to stop, no box is shown: the answer is Cancel (OK for an OK box).
  int Prompt(const std::string& text, unsigned flags, const char* caption = kErrorCaption);
  // True once shut-down has asked the worker to stop: a handler that polls within one cycle
  // checks it between its polls.
  bool Terminated() const { return terminated_; }
  // The run's command channel: the tested entry, the run's pause event and its logging switch.
  // The worker thread's alone.
  const CommandChannel& Channel() const { return channel_; }

  // The status operations on this worker's run. What the unit no longer finishes: once it has
  // left, a row reported as passed or warned is failed as the unit stopped answering, and the
  // run ends as a departed unit's.
  void StepBegin(int index) { ::StepBegin(Run(), index); }
  void StepPassed(int index, const char* text, RowLog rowLog = RowLog::kClose);
  void StepFailed(int index, const std::string& message) { ::StepFailed(Run(), index, message); }
  void StepWarned(int index, const std::string& message);
  void NoteCurrentRow(int index) { ::NoteCurrentRow(Run(), index); }

  // True once the run's unit has left (its link 1 is no longer open). Its entry is gone for
  // good: plugged in again, the unit is another entry, so nothing the run does can bring it back.
  bool UnitLeft() const;
  // Ends the run as a departed unit's; returns the answer the callers take as "run ended".
  int EndForDeparture();

  // The run's members under the names the handlers have always used.
  DeviceEntry* const TestedDevice;
  const platform::Handle PauseEvent;
  std::atomic<bool>& RunActive;
  std::atomic<int>& StepState;
  std::atomic<bool>& HeadingLogged;
  std::atomic<bool>& RetryPending;
  std::atomic<int>& RetryCount;
  int PromptAnswer = 0;

 private:
  RunEnding ending_ = RunEnding::kCompleted;  // the worker's own
  bool endingGiven_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
  // Commands of this run go to the entry it was started with, whatever the combo shows; its
  // pauses wait on the run's event and its reply lines follow the run's own switch.
  CommandChannel channel_;
};

// Creates and starts the worker of a family for the run (RunActive is set on return), or null
// when the program has no worker for that family (the run is then dropped). The factory can be
// replaced (tests, tools); an empty one restores the built-in families.
using WorkerFactory =
    std::function<std::unique_ptr<SequenceWorker>(WorkerClass, std::unique_ptr<RunContext>)>;
std::unique_ptr<SequenceWorker> CreateSequenceWorker(WorkerClass kind,
                                                     std::unique_ptr<RunContext> run);
void SetWorkerFactory(WorkerFactory factory);

// Makes a family worker and starts it.
template <class Family>
std::unique_ptr<SequenceWorker> LaunchWorker(std::unique_ptr<RunContext> run) {
  auto worker = std::make_unique<Family>(std::move(run));
  worker->Start();
  return worker;
}

// The built-in families; null for a family this program does not run yet.
std::unique_ptr<SequenceWorker> CreateFamilyWorker(WorkerClass kind,
                                                   std::unique_ptr<RunContext> run);
bool FamilyWorkerAvailable(WorkerClass kind);
// Whether Start can run a worker of this class (always, with a replaced factory).
bool WorkerAvailable(WorkerClass kind);
