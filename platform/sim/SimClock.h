// The simulated bench's clock: virtual time (deterministic, instant waits) or real time (demos).
// Owned by SimPlatform; other sim parts read NowMs() to schedule their own timed behaviour.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "platform/Platform.h"

namespace platform::sim {

// Calendar arithmetic on local date and time (proleptic Gregorian, no time zone, no DST).
// The date must be valid; the result carries every field in range.
LocalTime AddMilliseconds(const LocalTime& start, std::uint64_t ms);

class SimClock {
 public:
  enum class Mode { kVirtual, kReal };

  // A Monday in December with a one-digit hour, so log prefixes show the hour's space padding.
  static constexpr LocalTime kDefaultStart{2026, 12, 7, 9, 5, 0, 0};

  // In virtual time every GetLocalTime read moves the clock on by this much. The command link
  // paces its reads by spinning until it has seen the hundredths change 30 times; a clock that
  // stood still between waits would spin forever. One millisecond per read means a hundredths
  // change every 10 reads, so such a loop ends after about 300 reads (300 virtual ms).
  static constexpr std::uint32_t kReadStepMs = 1;

  // start is used in virtual time only (a valid local date and time).
  explicit SimClock(Mode mode = Mode::kVirtual, const LocalTime& start = kDefaultStart);

  Mode GetMode() const { return mode_; }

  // Local date and time. Virtual: the virtual time, then the clock moves on by kReadStepMs.
  // Real: the host's local time. Non-blocking; any thread.
  LocalTime GetLocalTime();
  // The same time without moving the clock on. Non-blocking; any thread.
  LocalTime PeekLocalTime() const;

  // The monotonic milliseconds. Virtual: counted from the midnight before the start, so that
  // its hundredths and seconds turn over exactly when the local time's do; a reading moves the
  // clock on by kReadStepMs, as a GetLocalTime read does. Real: the steady clock's, since the
  // clock was made. Non-blocking; any thread.
  std::uint64_t MonotonicMs();
  // Until MonotonicMs reaches untilMs. Virtual: the clock moves on to that moment, and by
  // kReadStepMs more for the reading that sees it reached, which is where reading the clock
  // until then would have left it; like such readings, it keeps the worker's turn and reaches
  // none of the bench's moments (the next pause does). Real: sleeps on the steady clock until
  // then. Any thread.
  void PauseUntil(std::uint64_t untilMs);

  // A timed pause. Virtual: moves the clock on by ms and returns at once. Real: sleeps ms on
  // the steady clock. Either way a time source's moments that fall inside the pause are reached
  // in order, at their time, on the waiting thread. Any thread; concurrent virtual waits add up,
  // except a worker's (below): it waits for its turn.
  void Wait(std::uint32_t ms);

  // --- Workers taking turns (virtual time) ---------------------------------------------------
  // Several runs at once share one clock. Each run's worker enrols when it is started and runs
  // only on its turn: one worker at a time, from its start until its next pause. A pause
  // gives the turn to the worker whose pause ends first (the one enrolled first on a tie), and
  // the clock moves to that moment; each worker therefore sees its own time line, as if it ran
  // alone, and a session goes the same way every time. While a worker has the turn, every other
  // thread's reads and pauses (the window working for it) count on its time line.
  // Real time: nothing waits for a turn.
  //
  // On the thread that starts the worker, before the worker's thread exists: its ticket. Its
  // turn begins at the time the clock shows now. Workers started in one act of the window's
  // (Start all) each begin on a time line of their own from the act's start: the window's reads
  // since the act began, or since it started the worker before, were that worker's opening, and
  // the window's clock goes back to the act's start for the next worker's opening.
  std::uint64_t EnrolWorker();
  // The worker's first act, on its thread: waits for its turn.
  void BeginWorker(std::uint64_t ticket);
  // The worker's last act, on its thread: gives up its turn for good.
  void EndWorker();
  // The window's own work (posted messages, timers, an operator's click) runs between turns,
  // while every worker waits: true when it may run now (end it with EndWindowWork); false when
  // a worker has the turn, and the window is then given the next turn. Any thread; the window's.
  bool TryBeginWindowWork();
  void EndWindowWork();
  // The window has work of its own: it takes the next turn. Any thread.
  void WantWindowWork();
  // True when the window has been given the turn it asked for and not yet taken it.
  bool WindowOffered() const;
  // Workers enrolled and not yet ended.
  std::size_t WorkerCount() const;

  // What happens on the bench at times of its own (timed plugs and unplugs, discs added): the
  // next such moment after `afterMs` (none: nothing is scheduled), and what to do once the clock
  // has reached it. Set before the clock is shared; null functions remove it.
  struct TimeSource {
    std::function<std::optional<std::uint64_t>(std::uint64_t afterMs)> nextMs;
    std::function<void()> reach;
  };
  void SetTimeSource(TimeSource source);

  // Milliseconds since the clock was made (virtual: virtual ms, reads and waits included).
  // Non-blocking; any thread.
  std::uint64_t NowMs() const;

  // Moves virtual time on without a wait (bench scripting). No effect in real time.
  void Advance(std::uint64_t ms);

  // The sum of every Wait's ms so far, in either mode: the floor under a run's wall time.
  std::uint64_t WaitedMs() const { return waitedMs_.load(std::memory_order_relaxed); }
  // Counts a wait that ran its full time outside Wait (a real-time event wait).
  void AddWaited(std::uint32_t ms) { waitedMs_.fetch_add(ms, std::memory_order_relaxed); }

 private:
  const Mode mode_;
  const LocalTime start_;
  std::atomic<std::uint64_t> virtualMs_{0};
  std::atomic<std::uint64_t> waitedMs_{0};
  const std::chrono::steady_clock::time_point realStart_;
  TimeSource source_;

  // The pause as a clock without workers makes it: virtual time moves on by ms.
  void FreeWait(std::uint32_t ms);
  // Who may run now. Called with turnMutex_ held; may let it go while the bench acts.
  void PassTurn(std::unique_lock<std::mutex>& lock);

  enum class Holder { kNone, kWorker, kWindowGranted, kWindow, kBench };
  struct Turn {
    std::uint64_t wakeMs = 0;  // when its pause ends (its start, before its first turn)
    bool waiting = true;
    std::condition_variable given;  // its turn has come: only it is woken
  };
  mutable std::mutex turnMutex_;
  std::map<std::uint64_t, Turn> workers_;  // by ticket, in the order enrolled
  std::uint64_t lastTicket_ = 0;
  Holder holder_ = Holder::kNone;
  std::uint64_t holderTicket_ = 0;
  bool windowWants_ = false;
  // The latest moment any time line has reached: the window's work and the end of a session.
  std::uint64_t stationMs_ = 0;
  // The window's act under way: when it began, and the time its last worker was enrolled at.
  std::uint64_t actStartMs_ = 0;
  std::uint64_t actMarkMs_ = 0;
};

}  // namespace platform::sim
