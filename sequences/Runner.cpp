// The runner frame shared by every family.
#include "sequences/Runner.h"

#include "device/CommandLink.h"
#include "device/Device.h"
#include "platform/Platform.h"
#include "report/RunRecord.h"
#include "report/TestLog.h"
#include "ui/Toolkit.h"

namespace {

constexpr unsigned kCycleMs = 500;

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
      RetryCount(Run().RetryCount),
      channel_(Run().TestedDevice, Run().PauseEvent, &Run().CommandLogging) {
  RunActive = true;
}

TSequenceThread::~TSequenceThread() {
  terminated_ = true;
  Join();
}

void TSequenceThread::Start() {
  // Enrolled here, in the order runs are started: a simulated clock gives turns in that order.
  const std::uint64_t ticket = platform::ThePlatform().EnrolWorker();
  thread_ = std::thread([this, ticket] {
    platform::ThePlatform().BeginWorker(ticket);
    // Every line this thread writes is the run's.
    SetLogOwner(Run().Id);
    Execute();
    // A run stopped by the window was ended there (cut where it stood): nothing more is marked.
    if (!terminated_) MarkRunEnding(Run(), ending_);
    RunActive = false;
    if (Run().Host != nullptr) Run().Host->RunEnded(Run());
    platform::ThePlatform().EndWorker();
    finished_ = true;
  });
}

bool TSequenceThread::UnitLeft() const {
  return TestedDevice != nullptr && TestedDevice->Link1Flag.load() != kFlagOpen;
}

int TSequenceThread::EndForDeparture() {
  EndRun(RunEnding::kLinkLost);
  NoteLinkLost(Run());  // also when another ending came first
  return ui::kIdCancel;
}

void TSequenceThread::StepPassed(int index, const char* text, RowLog rowLog) {
  if (UnitLeft()) EndForDeparture();  // the pass below is then failed as stopped answering
  ::StepPassed(Run(), index, text, rowLog);
}

void TSequenceThread::StepWarned(int index, const std::string& message) {
  if (UnitLeft()) {
    EndForDeparture();
    ::StepPassed(Run(), index, nullptr);  // failed as stopped answering
    return;
  }
  ::StepWarned(Run(), index, message);
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
  RunContext& run = Run();
  // A run the window has cut (it closes, or the session ends) asks nobody: its record is kept,
  // and a box now would hold the close. Cancel ends it (OK for a box that has only OK).
  if (terminated_) {
    PromptAnswer = (flags & ui::kMbTypeMask) == ui::kMbOk ? ui::kIdOk : ui::kIdCancel;
    return PromptAnswer;
  }
  // A run no window started (tests of a family alone) asks the toolkit without an owner.
  // The record keeps the caption the box showed.
  std::string shown = caption != nullptr ? caption : "";
  PromptAnswer = run.Host != nullptr ? run.Host->Prompt(run, text, caption, flags, shown)
                                     : ui::TheToolkit().MessageBox(nullptr, text, shown, flags);
  NotePrompt(run, text, shown.c_str(), flags, PromptAnswer);
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

void SetWorkerFactory(WorkerFactory factory) {
  Factory() = std::move(factory);
}
