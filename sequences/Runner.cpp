// The runner frame shared by every family.
#include "sequences/Runner.h"

#include "report/RunRecord.h"
#include "device/CommandLink.h"
#include "platform/Platform.h"
#include "ui/Toolkit.h"

namespace {

constexpr unsigned kCycleMs = 500;

std::atomic<RunHost*> runHost{nullptr};

WorkerFactory& Factory() {
  static WorkerFactory factory;
  return factory;
}

}  // namespace

TSequenceThread::TSequenceThread(std::unique_ptr<RunContext> run)
    : SequenceWorker(std::move(run)),
      TestedDevice(Run().TestedDevice),
      PauseEvent(Run().PauseEvent),
      RunActive(Run().RunActive),
      StepState(Run().StepState),
      HeadingLogged(Run().HeadingLogged),
      RetryPending(Run().RetryPending),
      RetryCount(Run().RetryCount) {
  RunActive = true;
}

TSequenceThread::~TSequenceThread() {
  terminated_ = true;
  Join();
}

void TSequenceThread::Start() {
  thread_ = std::thread([this] {
    // Commands of this run go to the entry it was started with, whatever the combo shows.
    SetCommandTarget(TestedDevice);
    Execute();
    // A program that is closing abandons its run: nothing more is marked.
    if (!terminated_) MarkRunEnding(Run(), ending_);
    RunActive = false;
    if (RunHost* host = TheRunHost()) host->RunEnded();
    finished_ = true;
  });
}

void TSequenceThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TSequenceThread::Execute() {
  while (!terminated_) {
    for (int state = HighestState(); state >= 0; --state) RunHandler(state);
    if (!RunActive) break;
    platform::PauseOn(PauseEvent, kCycleMs);
  }
}

void TSequenceThread::EndRun(RunEnding ending) {
  if (!endingGiven_) {
    endingGiven_ = true;
    ending_ = ending;
    if (ending == RunEnding::kLinkLost) NoteLinkLost(Run());
  }
  RunActive = false;
}

int TSequenceThread::Prompt(const std::string& text, unsigned flags, const char* caption) {
  RunHost* host = TheRunHost();
  PromptAnswer = ui::TheToolkit().MessageBox(host != nullptr ? host->PromptOwner() : nullptr, text,
                                             caption, flags);
  NotePrompt(text, caption, flags, PromptAnswer);
  return PromptAnswer;
}

std::unique_ptr<SequenceWorker> CreateSequenceWorker(WorkerClass kind,
                                                     std::unique_ptr<RunContext> run) {
  if (Factory()) return Factory()(kind, std::move(run));
  return CreateFamilyWorker(kind, std::move(run));
}

bool WorkerAvailable(WorkerClass kind) {
  return Factory() ? true : FamilyWorkerAvailable(kind);
}

void SetRunHost(RunHost* host) {
  runHost = host;
}

RunHost* TheRunHost() {
  return runHost.load();
}

void SetWorkerFactory(WorkerFactory factory) {
  Factory() = std::move(factory);
}
