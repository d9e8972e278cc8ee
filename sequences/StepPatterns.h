// The step conventions every family's handlers are built from: sending with the lost-link rule,
// prompts, the move step, the sensor polls and the device information step. TStepThread owns
// nothing beyond the runner frame; the run's state is the frame's RunContext.
#pragma once

#include <cstddef>
#include <string>

#include "device/CommandLink.h"
#include "sequences/Runner.h"

// The sensor field of an AT+C00 reply: "{" at index 3, "}" at index 13 (TM36 and HV22, nine
// sensor characters) or at index 20 (ZP family, sixteen).
inline constexpr std::size_t kSensorOpenIndex = 3;
inline constexpr std::size_t kSensorCloseIndex = 13;
inline constexpr std::size_t kZpSensorCloseIndex = 20;

// True when the reply has the braces of a sensor field closed at `closeIndex` and `wanted` at
// `index`. A reply too short for the field fails the test.
bool SensorReads(const std::string& reply, std::size_t index, char wanted,
                 std::size_t closeIndex = kSensorCloseIndex);
// True when the reply contains the token.
bool ReplyHas(const std::string& reply, const char* token);

// After an operator prompt for missing discs or a full output, this many polls are silent.
inline constexpr int kSilentPolls = 10;
inline constexpr const char* kSupplyDiscsMessage = "Supply the loader mechanism with discs.";
inline constexpr const char* kLoadDiscMessage = "An error occurs while loading a disc.";
inline constexpr const char* kEepromAnnouncement = "Read EEPROM from 0 to 7F as total 128 bytes";

// How one attempt of a step ended.
enum class StepResult {
  kDone,   // the step's test passed, or the operator let a failure go: mark it and move on
  kStay,   // act again next cycle (Retry, or still waiting for a sensor)
  kEnded,  // the run ends after this cycle (Cancel, or the link was lost)
};

// A step that sends one motion command and expects "AT+O".
struct MoveStep {
  int row = 0;  // the step-list row it reports on
  CommandBlock command{};
  const char* message = "";  // the failure's words, in the memo, log and box alike
  int link = 1;
  bool begin = true;                 // false: a hidden state, no heading of its own
  const char* alsoPasses = nullptr;  // a reply token accepted like "AT+O" ("AT+S07")
  bool commandAfterStatus = false;   // a retry after "AT+E" queries AT+? and, if that holds
                                     // "AT+O", sends the command too (else only AT+?)
};

// A sensor to wait for: character `index` of the AT+C00 reply equal to `wanted`.
struct SensorWait {
  int row = 0;
  std::size_t index = 0;
  char wanted = '1';
  int link = 1;
  std::size_t closeIndex = kSensorCloseIndex;
};

enum class PollResult {
  kSeen,      // the sensor shows the wanted state (nothing marked yet)
  kWaiting,   // not yet; poll again next cycle
  kTimedOut,  // the limit is reached: the caller fails the row and prompts
  kEnded,     // the link was lost
};

// The runner frame with the step conventions. Handlers act only when StepState equals their
// number; each method below works on the current attempt of the calling handler's step.
class TStepThread : public TSequenceThread {
 protected:
  using TSequenceThread::TSequenceThread;

  // SendCommand on the run's channel, its reply kept as Reply(); when it fails (no device, link
  // closed, no accepted reply) the run ends silently: no prompt, and the current row keeps
  // whatever mark it had. False then.
  bool Send(const CommandBlock& command, int link = 1);
  // The reply of the last Send (empty before the first); the worker thread's alone.
  const std::string& Reply() const { return reply_; }
  // True when Reply() contains the token.
  bool ReplyHas(const char* token) const { return ::ReplyHas(reply_, token); }
  // A prompt owned by the main window (caption "Error" unless given); a Cancel answer ends the
  // run. Returns the answer. Once the unit has left, no answer can help: the run ends as a
  // departed unit's (no box is shown; one already up returns kIdCancel whatever the answer).
  int Ask(const std::string& text, unsigned flags, const char* caption = kErrorCaption);
  // StepFailed(row, message), then Ask with the same words. Once the unit has left nobody is
  // asked, and the row is failed with `message` only when the step lost the link inside it;
  // otherwise the run's ending marks it as the unit stopped answering.
  int FailAndAsk(int row, const std::string& message, unsigned flags);
  // StepFailed(row, message) and an OK-only error box whose OK ends the run. True when the step
  // goes on: only a box that could not be shown answers otherwise.
  bool FailFatal(int row, const std::string& message);
  // A fault the operator must clear (no discs, a full output): the row fails and the box asks;
  // after that box the next kSilentPolls checks that still find the fault pass without a prompt
  // before it asks again. Returns the answer, or kCheckedSilently for a silent check.
  static constexpr int kCheckedSilently = -1;
  int AskAfterSilentChecks(int row, const std::string& message, unsigned flags);

  // One attempt of a move step: StepBegin (unless hidden); the command, or AT+? while
  // RetryPending is set; "AT+O" (or alsoPasses) gives kDone. Otherwise the row fails, "AT+E"
  // sets RetryPending, and a Retry/Cancel box decides: Retry kStay, Cancel kEnded, any other
  // answer kDone. Marks nothing on kDone: the caller does.
  StepResult AttemptMove(const MoveStep& step);
  // The halves of AttemptMove, for steps that answer some replies in their own way: the heading
  // and the send (false: the run ends), the pass test on Reply(), and the failure (StepFailed,
  // "AT+E" sets RetryPending, the Retry/Cancel box) with AttemptMove's results.
  bool SendMoveCommand(const MoveStep& step);
  bool MoveReplyPasses(const MoveStep& step) const;
  StepResult FailMoveStep(const MoveStep& step);
  // The plain move step: on kDone StepPassed(row) and StepState = nextState.
  void MoveStepTo(const MoveStep& step, int nextState);
  // Loading a disc onto a drive tray: AT+R01 (AT+? while RetryPending); "AT+O" or "AT+S07"
  // passes. "AT+S12" (a disc already lies there) fails the row with the occupied words in a Try
  // Again/Continue/Cancel box: Try Again loads again next cycle, Continue goes on to nextState
  // without a mark (its step logs its own heading). Other replies fail as a move step does; an
  // answer that lets the failure go also goes on without a mark.
  void LoadOntoTrayStep(int row, int link, const char* occupied, int nextState);

  // One poll of a sensor: StepBegin(row), AT+C00 on the link, and the sensor test. With a
  // limit, RetryCount counts the misses and the limit-th gives kTimedOut (the caller's
  // StepFailed restarts the count); a limit of 0 leaves RetryCount alone and never times out.
  PollResult PollSensor(const SensorWait& wait, int limit);
  // A step that waits for the operator (discs in the input bin): passes as soon as the sensor
  // shows the wanted state; the first miss fails the row and asks with a warning Retry/Cancel
  // box; after that box kSilentPolls misses pass without a prompt before it asks again.
  void AwaitOperatorStep(const SensorWait& wait, const char* message, int nextState);

  // The status query of a device information step: on "AT+E" StepFailed(row, message) and an
  // OK-only error box, whose OK ends the run. False when the handler must stop (run ended).
  bool CheckDeviceStatus(const char* message, int row = 0, int link = 1);
  // AT+I00, AT+C00, the EEPROM announcement and the 16 reads of 8 bytes (the link layer logs
  // each data chunk). False when the link was lost (the run ends).
  bool ReadDeviceInformation(int link = 1);
  // The whole "Get device information" step of the TM36 form on row 0: heading, status query
  // (failing with errorMessage), information and EEPROM, passed, StepState = nextState.
  void DeviceInformationStep(const char* errorMessage, int nextState);

 private:
  std::string reply_;
};
