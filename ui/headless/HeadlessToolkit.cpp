// The headless backend's GUI loop, invokes, timers, scripted message boxes and modal dialogs.
#include "ui/headless/HeadlessToolkit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "ui/headless/MessageScript.h"

namespace ui::headless {

HeadlessToolkit::HeadlessToolkit(TimerMode timerMode)
    : guiThread_(std::this_thread::get_id()), timerMode_(timerMode) {}

HeadlessToolkit::~HeadlessToolkit() {
  {
    std::lock_guard lock(queueMutex_);
    const bool threadWaiting =
        std::ranges::any_of(queue_, [](const Work& work) { return work.invocation != nullptr; });
    if (threadWaiting) {
      std::fputs("veltrane: window toolkit destroyed while a thread waits in Invoke\n", stderr);
      std::abort();
    }
  }
  if (InstalledToolkit() == this) SetToolkit(nullptr);
}

bool HeadlessToolkit::IsGuiThread() const {
  return std::this_thread::get_id() == guiThread_;
}

void HeadlessToolkit::RequireGuiThread(const char* operation) const {
  if (IsGuiThread()) return;
  std::fprintf(stderr, "veltrane: %s called off the GUI thread\n", operation);
  std::abort();
}

// --- work queue -------------------------------------------------------------------------------

void HeadlessToolkit::Invoke(const std::function<void()>& fn) {
  if (IsGuiThread()) {
    fn();
    return;
  }
  Invocation invocation{&fn, false, nullptr};
  std::unique_lock lock(queueMutex_);
  queue_.push_back(Work{nullptr, &invocation});
  workQueued_.notify_one();
  invocationDone_.wait(lock, [&] { return invocation.done; });
  if (invocation.error) std::rethrow_exception(invocation.error);
}

void HeadlessToolkit::Post(std::function<void()> fn) {
  std::lock_guard lock(queueMutex_);
  queue_.push_back(Work{std::move(fn), nullptr});
  workQueued_.notify_one();
}

// Runs one queued piece of work outside the lock, so that it may queue more or invoke itself.
// Outside the window's turn only invokes run: posted work keeps its place in the queue.
bool HeadlessToolkit::RunOneQueued(bool windowTurn) {
  Work work;
  {
    std::lock_guard lock(queueMutex_);
    auto it = windowTurn ? queue_.begin() : std::ranges::find_if(queue_, [](const Work& w) {
      return w.invocation != nullptr;
    });
    if (it == queue_.end()) return false;
    work = std::move(*it);
    queue_.erase(it);
  }
  if (work.invocation == nullptr) {
    work.posted();
    return true;
  }
  std::exception_ptr error;
  try {
    (*work.invocation->fn)();
  } catch (...) {
    error = std::current_exception();
  }
  // Work the invoke left for the window (a timer, a posted message) takes the next turn, asked
  // for while the invoking worker still waits: when the window acts does not hang on when its
  // loop next looks.
  if (gate_.want && HasOwnWork()) gate_.want();
  std::lock_guard lock(queueMutex_);
  // Hand the exception over whole: the GUI thread keeps no reference that it would drop after
  // the worker has already been woken (the count's atomics are invisible to race checkers).
  work.invocation->error = std::move(error);
  work.invocation->done = true;
  invocationDone_.notify_all();
  return true;
}

// Only the work queued when the pass starts, so that work queuing more cannot starve the timers.
bool HeadlessToolkit::RunQueuedWork(const std::function<bool()>& done, bool windowTurn) {
  size_t count = 0;
  {
    std::lock_guard lock(queueMutex_);
    count = queue_.size();
  }
  bool ran = false;
  for (size_t i = 0; i < count && RunOneQueued(windowTurn); ++i) {
    ran = true;
    if (done()) break;
  }
  return ran;
}

void HeadlessToolkit::WaitForWork() {
  std::unique_lock lock(queueMutex_);
  workQueued_.wait_for(lock, std::chrono::milliseconds(kIdleWaitMs),
                       [&] { return !queue_.empty(); });
}

// --- timers -----------------------------------------------------------------------------------

void HeadlessToolkit::RegisterTimer(Timer* timer) {
  std::lock_guard lock(timerMutex_);
  if (std::ranges::find(timers_, timer, &TimerSlot::timer) == timers_.end()) {
    timers_.push_back(TimerSlot{timer, false, {}});
  }
}

void HeadlessToolkit::UnregisterTimer(Timer* timer) {
  std::lock_guard lock(timerMutex_);
  std::erase_if(timers_, [timer](const TimerSlot& slot) { return slot.timer == timer; });
}

bool HeadlessToolkit::IsRegistered(Timer* timer) const {
  std::lock_guard lock(timerMutex_);
  return std::ranges::find(timers_, timer, &TimerSlot::timer) != timers_.end();
}

// A real-time timer's interval counts from the pass that first sees it enabled.
std::vector<Timer*> HeadlessToolkit::TakeDueTimers() {
  std::vector<Timer*> due;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(timerMutex_);
  for (TimerSlot& slot : timers_) {
    const bool enabled = slot.timer->Enabled();
    const auto interval = std::chrono::milliseconds(slot.timer->IntervalMs());
    if (enabled && !slot.running) slot.due = now + interval;
    slot.running = enabled;
    if (!enabled) continue;
    if (timerMode_ == TimerMode::kImmediate || now >= slot.due) {
      due.push_back(slot.timer);
      slot.due = now + interval;
    }
  }
  return due;
}

// A handler may disable or destroy other timers of the same pass; those are skipped.
bool HeadlessToolkit::FireDueTimers(const std::function<bool()>& done) {
  bool fired = false;
  for (Timer* timer : TakeDueTimers()) {
    if (!IsRegistered(timer) || !timer->Enabled()) continue;
    const std::function<void()> handler = timer->onTimer;  // the handler may free its form
    if (handler) handler();
    fired = true;
    if (done()) break;
  }
  return fired;
}

// --- loop -------------------------------------------------------------------------------------

void HeadlessToolkit::SetWindowGate(WindowGate gate) {
  RequireGuiThread("SetWindowGate");
  gate_ = std::move(gate);
}

bool HeadlessToolkit::HasOwnWork() const {
  {
    std::lock_guard lock(queueMutex_);
    if (std::ranges::any_of(queue_, [](const Work& w) { return w.invocation == nullptr; })) {
      return true;
    }
  }
  std::lock_guard lock(timerMutex_);
  return std::ranges::any_of(timers_, [](const TimerSlot& slot) { return slot.timer->Enabled(); });
}

bool HeadlessToolkit::RunPass(const std::function<bool()>& done) {
  if (!gate_.tryBegin) {
    const bool worked = RunQueuedWork(done);
    if (done()) return worked;
    return FireDueTimers(done) || worked;
  }
  // A turn given to a window that has nothing to do any more goes straight back.
  const bool turn = (HasOwnWork() || gate_.offered()) && gate_.tryBegin();
  bool worked = RunQueuedWork(done, turn);
  if (turn && !done()) worked = FireDueTimers(done) || worked;
  if (turn) {
    if (HasOwnWork()) gate_.want();
    gate_.end();
  }
  return worked;
}

void HeadlessToolkit::RunUntil(const std::function<bool()>& done) {
  RequireGuiThread("RunUntil");
  while (!done()) {
    const bool worked = RunPass(done);
    if (!worked && !done()) WaitForWork();
  }
}

bool HeadlessToolkit::RunPending() {
  RequireGuiThread("RunPending");
  return RunPass([] { return false; });
}

void HeadlessToolkit::RunAsWindowWork(const std::function<void()>& fn) {
  RequireGuiThread("RunAsWindowWork");
  if (!gate_.tryBegin) {
    fn();
    return;
  }
  while (!gate_.tryBegin()) {
    if (!RunQueuedWork([] { return false; }, false)) WaitForWork();
  }
  fn();
  gate_.end();
}

// --- message boxes ----------------------------------------------------------------------------

void HeadlessToolkit::SetAnswers(std::vector<int> answers) {
  std::lock_guard lock(promptMutex_);
  script_.assign(answers.begin(), answers.end());
}

void HeadlessToolkit::SetAnswersPerRun(std::vector<int> each,
                                       const std::map<std::string, std::vector<int>>& own) {
  std::lock_guard lock(promptMutex_);
  perRun_ = true;
  eachRun_ = std::move(each);
  runScripts_.clear();
  for (auto& [origin, answers] : own) {
    runScripts_[origin].assign(answers.begin(), answers.end());
  }
}

void HeadlessToolkit::SetScriptForRunsOnly(bool runsOnly) {
  std::lock_guard lock(promptMutex_);
  runsOnly_ = runsOnly;
}

size_t HeadlessToolkit::AnswersLeft() const {
  std::lock_guard lock(promptMutex_);
  return script_.size();
}

std::vector<PromptRecord> HeadlessToolkit::Prompts() const {
  std::lock_guard lock(promptMutex_);
  return prompts_;
}

void HeadlessToolkit::SetPromptObserver(std::function<void(const PromptRecord&)> observer) {
  std::lock_guard lock(observerMutex_);
  promptObserver_ = std::move(observer);
}

// Called with promptMutex_ held.
int HeadlessToolkit::NextAnswer(const std::string& origin, unsigned flags, bool& defaulted,
                                int& unfitting) {
  const std::vector<int> buttons = ButtonsOf(flags);
  defaulted = true;
  if (buttons.empty()) return 0;
  if (runsOnly_ && origin.empty()) return SafeDefaultAnswer(flags);
  std::deque<int>* script = &script_;
  if (perRun_ && !origin.empty()) {
    auto [it, fresh] = runScripts_.try_emplace(origin);
    if (fresh) it->second.assign(eachRun_.begin(), eachRun_.end());
    script = &it->second;
  }
  if (!script->empty()) {
    const int scripted = script->front();
    script->pop_front();
    if (std::ranges::find(buttons, scripted) != buttons.end()) {
      defaulted = false;
      return scripted;
    }
    unfitting = scripted;
  }
  return SafeDefaultAnswer(flags);
}

int HeadlessToolkit::MessageBox(Form* owner, const std::string& text, const std::string& caption,
                                unsigned flags) {
  NotePromptShown(text);
  // A box on the GUI thread runs a modal loop: what is posted while it is up (a device plugged
  // in or pulled out by the operator, before or as he answers) is handled before the answer
  // comes back, as on Windows.
  const bool modalLoop = IsGuiThread();
  const auto never = [] { return false; };
  if (modalLoop) RunQueuedWork(never);
  PromptRecord record;
  {
    std::lock_guard serial(observerMutex_);
    record.owner = owner != nullptr ? owner->Name() : std::string();
    record.origin = BoxOrigin();
    record.text = text;
    record.caption = caption;
    record.flags = flags;
    record.onGuiThread = modalLoop;
    record.thread = std::this_thread::get_id();
    {
      std::lock_guard lock(promptMutex_);
      record.answer = NextAnswer(record.origin, flags, record.defaulted, record.unfitting);
      prompts_.push_back(record);
    }
    if (promptObserver_) promptObserver_(record);
  }
  if (modalLoop) RunQueuedWork(never);
  return record.answer;
}

// --- modal dialogs ----------------------------------------------------------------------------

void HeadlessToolkit::SetModalObserver(std::function<void(Form&)> observer) {
  RequireGuiThread("SetModalObserver");
  modalObserver_ = std::move(observer);
}

void HeadlessToolkit::ShowModal(Form& form) {
  RequireGuiThread("ShowModal");
  form.modalOpen = true;
  ++modalShowings_;
  if (modalObserver_) modalObserver_(form);
  form.modalOpen = false;  // the headless operator closes it at once
}

void HeadlessToolkit::CloseModal(Form& form) {
  RequireGuiThread("CloseModal");
  form.modalOpen = false;
}

}  // namespace ui::headless
