// The step conventions shared by the families' handlers.
#include "sequences/StepPatterns.h"

#include <utility>

#include "device/Device.h"
#include "report/RunState.h"
#include "report/StepList.h"
#include "report/TestLog.h"
#include "ui/Toolkit.h"

bool SensorReads(const std::string& reply, std::size_t index, char wanted, std::size_t closeIndex) {
  if (reply.size() <= closeIndex || index >= reply.size()) return false;
  return reply[kSensorOpenIndex] == '{' && reply[closeIndex] == '}' && reply[index] == wanted;
}

bool ReplyHas(const std::string& reply, const char* token) {
  return reply.find(token) != std::string::npos;
}

bool TStepThread::Send(const CommandBlock& command, int link) {
  CommandReply answer = SendCommand(Channel(), command, link);
  reply_ = std::move(answer.text);
  if (answer) return true;
  EndRun(RunEnding::kLinkLost);
  return false;
}

int TStepThread::Ask(const std::string& text, unsigned flags, const char* caption) {
  if (UnitLeft()) return EndForDeparture();
  const int answer = Prompt(text, flags, caption);
  if (answer == ui::kIdCancel) {
    EndRun(RunEnding::kCancelled);
  } else if (UnitLeft()) {
    // It left while the box was up: a Retry would only ask again, for ever.
    return EndForDeparture();
  }
  return answer;
}

int TStepThread::FailAndAsk(int row, const std::string& message, unsigned flags) {
  if (UnitLeft()) {
    // A step that lost the link inside it (an HV22 tray confirmation) still reports its own
    // failure; one that did not get that far is marked when the run ends. Nobody is asked.
    if (Run().LinkLost) StepFailed(row, message);
    return EndForDeparture();
  }
  StepFailed(row, message);
  return Ask(message, flags);
}

bool TStepThread::FailFatal(int row, const std::string& message) {
  const int answer = FailAndAsk(row, message, ui::kMbIconError);
  if (answer != ui::kIdOk && answer != ui::kIdCancel) return true;
  EndRun(RunEnding::kCancelled);
  return false;
}

int TStepThread::AskAfterSilentChecks(int row, const std::string& message, unsigned flags) {
  // After a prompt the operator gets a few cycles to act before being asked again.
  if (RetryPending && RetryCount < kSilentPolls) {
    ++RetryCount;
    return kCheckedSilently;
  }
  StepFailed(row, message);
  RetryPending = true;
  return Ask(message, flags);
}

StepResult TStepThread::AttemptMove(const MoveStep& step) {
  if (!SendMoveCommand(step)) return StepResult::kEnded;
  if (MoveReplyPasses(step)) return StepResult::kDone;
  return FailMoveStep(step);
}

bool TStepThread::SendMoveCommand(const MoveStep& step) {
  if (step.begin) {
    StepBegin(step.row);
  } else {
    NoteCurrentRow(step.row);
  }
  if (!RetryPending) return Send(step.command, step.link);
  // The operator is expected to have cleared the error: ask how the device stands first.
  if (!Send(StatusQuery, step.link)) return false;
  if (step.commandAfterStatus && ReplyHas("AT+O")) return Send(step.command, step.link);
  return true;
}

bool TStepThread::MoveReplyPasses(const MoveStep& step) const {
  return ReplyHas("AT+O") || (step.alsoPasses != nullptr && ReplyHas(step.alsoPasses));
}

StepResult TStepThread::FailMoveStep(const MoveStep& step) {
  const bool deviceError = ReplyHas("AT+E");
  StepFailed(step.row, step.message);
  if (deviceError) RetryPending = true;
  switch (Ask(step.message, ui::kMbIconError | ui::kMbRetryCancel)) {
    case ui::kIdRetry:
      return StepResult::kStay;
    case ui::kIdCancel:
      return StepResult::kEnded;
    default:  // only a box that could not be shown answers otherwise
      return StepResult::kDone;
  }
}

void TStepThread::MoveStepTo(const MoveStep& step, int nextState) {
  if (AttemptMove(step) != StepResult::kDone) return;
  StepPassed(step.row, nullptr);
  StepState = nextState;
}

void TStepThread::LoadOntoTrayStep(int row, int link, const char* occupied, int nextState) {
  const MoveStep load{.row = row,
                      .command = AtR01,
                      .message = kLoadDiscMessage,
                      .link = link,
                      .alsoPasses = "AT+S07"};
  if (!SendMoveCommand(load)) return;
  if (MoveReplyPasses(load)) {
    StepPassed(row, nullptr);
    StepState = nextState;
    return;
  }
  if (ReplyHas("AT+S12")) {
    const int answer = FailAndAsk(row, occupied, ui::kMbIconError | ui::kMbCancelTryContinue);
    if (answer == ui::kIdTryAgain || answer == ui::kIdCancel) return;
    if (answer == ui::kIdContinue) HeadingLogged = false;
    StepState = nextState;
    return;
  }
  if (FailMoveStep(load) == StepResult::kDone) StepState = nextState;
}

PollResult TStepThread::PollSensor(const SensorWait& wait, int limit) {
  StepBegin(wait.row);
  if (!Send(AtC00, wait.link)) return PollResult::kEnded;
  if (SensorReads(Reply(), wait.index, wait.wanted, wait.closeIndex)) return PollResult::kSeen;
  if (limit == 0) return PollResult::kWaiting;
  return ++RetryCount >= limit ? PollResult::kTimedOut : PollResult::kWaiting;
}

void TStepThread::AwaitOperatorStep(const SensorWait& wait, const char* message, int nextState) {
  switch (PollSensor(wait, 0)) {
    case PollResult::kSeen:
      StepPassed(wait.row, nullptr);
      StepState = nextState;
      return;
    case PollResult::kEnded:
      return;
    default:
      break;
  }
  AskAfterSilentChecks(wait.row, message, ui::kMbIconWarning | ui::kMbRetryCancel);
}

bool TStepThread::CheckDeviceStatus(const char* message, int row, int link) {
  if (!Send(StatusQuery, link)) return false;
  return !ReplyHas("AT+E") || FailFatal(row, message);
}

bool TStepThread::ReadDeviceInformation(int link) {
  if (!Send(AtI00, link) || !Send(AtC00, link)) return false;
  WriteLogText(kEepromAnnouncement);
  for (int i = 0; i < kEepromReadCount; ++i) {
    if (!Send(MakeEepromRead(static_cast<std::uint8_t>(i * kEepromReadBytes)), link)) return false;
  }
  return true;
}

void TStepThread::DeviceInformationStep(const char* errorMessage, int nextState) {
  StepBegin(0);
  if (!CheckDeviceStatus(errorMessage) || !ReadDeviceInformation()) return;
  StepPassed(0, nullptr);
  StepState = nextState;
}
