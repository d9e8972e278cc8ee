// The simulated bench's clock: virtual or real local time, and timed pauses.
#include "platform/sim/SimClock.h"

#include <algorithm>
#include <ctime>
#include <thread>

namespace platform::sim {
namespace {

constexpr std::int64_t kMsPerDay = 24LL * 60 * 60 * 1000;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The inverse of DaysFromCivil; fills year, month and day.
void CivilFromDays(std::int64_t z, LocalTime& out) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  out.year = static_cast<int>(yoe + era * 400 + (out.month <= 2 ? 1 : 0));
}

std::int64_t MsOfDay(const LocalTime& t) {
  return ((t.hour * 60LL + t.minute) * 60 + t.second) * 1000 + t.hundredths * 10LL;
}

// localtime_r is the thread-safe form (the GUI thread and the worker both read the clock);
// Windows spells it localtime_s with the arguments swapped.
std::tm ToLocalTm(std::time_t seconds) {
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &seconds);
#else
  localtime_r(&seconds, &tm);
#endif
  return tm;
}

LocalTime RealLocalTime() {
  const auto now = std::chrono::system_clock::now();
  const auto sinceEpoch = now.time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
  const std::tm tm = ToLocalTm(static_cast<std::time_t>(ms / 1000));
  return LocalTime{tm.tm_year + 1900,
                   tm.tm_mon + 1,
                   tm.tm_mday,
                   tm.tm_hour,
                   tm.tm_min,
                   tm.tm_sec,
                   static_cast<int>(ms % 1000 / 10)};
}

// The worker whose thread this is, for the clock it enrolled with.
struct WorkerThread {
  SimClock* clock = nullptr;
  std::uint64_t ticket = 0;
};
thread_local WorkerThread tlWorker;

}  // namespace

LocalTime AddMilliseconds(const LocalTime& start, std::uint64_t ms) {
  const std::int64_t total = MsOfDay(start) + static_cast<std::int64_t>(ms % kMsPerDay);
  const std::int64_t days = DaysFromCivil(start.year, start.month, start.day) +
                            static_cast<std::int64_t>(ms / kMsPerDay) + total / kMsPerDay;
  const std::int64_t ofDay = total % kMsPerDay;
  LocalTime out;
  CivilFromDays(days, out);
  out.hour = static_cast<int>(ofDay / 3'600'000);
  out.minute = static_cast<int>(ofDay / 60'000 % 60);
  out.second = static_cast<int>(ofDay / 1000 % 60);
  out.hundredths = static_cast<int>(ofDay % 1000 / 10);
  return out;
}

SimClock::SimClock(Mode mode, const LocalTime& start)
    : mode_(mode), start_(start), realStart_(std::chrono::steady_clock::now()) {}

LocalTime SimClock::GetLocalTime() {
  if (mode_ == Mode::kReal) return RealLocalTime();
  const std::uint64_t now = virtualMs_.fetch_add(kReadStepMs, std::memory_order_relaxed);
  return AddMilliseconds(start_, now);
}

LocalTime SimClock::PeekLocalTime() const {
  if (mode_ == Mode::kReal) return RealLocalTime();
  return AddMilliseconds(start_, virtualMs_.load(std::memory_order_relaxed));
}

std::uint64_t SimClock::MonotonicMs() {
  if (mode_ == Mode::kReal) return NowMs();
  const std::uint64_t now = virtualMs_.fetch_add(kReadStepMs, std::memory_order_relaxed);
  return static_cast<std::uint64_t>(MsOfDay(start_)) + now;
}

void SimClock::PauseUntil(std::uint64_t untilMs) {
  if (mode_ == Mode::kReal) {
    std::this_thread::sleep_until(realStart_ + std::chrono::milliseconds(untilMs));
    return;
  }
  const auto origin = static_cast<std::uint64_t>(MsOfDay(start_));
  const std::uint64_t until = untilMs > origin ? untilMs - origin : 0;
  std::uint64_t now = virtualMs_.load(std::memory_order_relaxed);
  while (!virtualMs_.compare_exchange_weak(now, std::max(now, until) + kReadStepMs,
                                           std::memory_order_relaxed)) {
  }
}

void SimClock::SetTimeSource(TimeSource source) {
  source_ = std::move(source);
}

void SimClock::Wait(std::uint32_t ms) {
  if (mode_ == Mode::kVirtual && tlWorker.clock == this) {
    std::unique_lock lock(turnMutex_);
    // A worker alone, with the window idle, pauses as a clock without workers does.
    if (workers_.size() > 1 || windowWants_) {
      waitedMs_.fetch_add(ms, std::memory_order_relaxed);
      const std::uint64_t ticket = tlWorker.ticket;
      Turn& me = workers_.at(ticket);
      me.wakeMs = virtualMs_.load(std::memory_order_relaxed) + ms;
      me.waiting = true;
      stationMs_ = std::max(stationMs_, virtualMs_.load(std::memory_order_relaxed));
      holder_ = Holder::kNone;
      PassTurn(lock);
      me.given.wait(lock, [&] { return holder_ == Holder::kWorker && holderTicket_ == ticket; });
      return;
    }
  }
  FreeWait(ms);
}

void SimClock::FreeWait(std::uint32_t ms) {
  waitedMs_.fetch_add(ms, std::memory_order_relaxed);
  const bool scheduled = source_.nextMs && source_.reach;
  if (mode_ == Mode::kVirtual) {
    std::uint64_t left = ms;
    // Each moment inside the pause is reached at its time: the clock stops there, the bench
    // acts, and the rest of the pause goes on from there. A moment that reaching does not
    // clear is not reached twice.
    std::optional<std::uint64_t> reached;
    while (scheduled) {
      const std::uint64_t now = NowMs();
      const std::optional<std::uint64_t> next = source_.nextMs(now);
      if (!next || *next > now + left || (reached && *next <= *reached)) break;
      reached = next;
      const std::uint64_t step = *next > now ? *next - now : 0;
      virtualMs_.fetch_add(step, std::memory_order_relaxed);
      left -= step;
      source_.reach();
    }
    virtualMs_.fetch_add(left, std::memory_order_relaxed);
    return;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::optional<std::uint64_t> reached;
  while (scheduled) {
    const std::optional<std::uint64_t> next = source_.nextMs(NowMs());
    if (!next || (reached && *next <= *reached)) break;
    reached = next;
    const auto at = realStart_ + std::chrono::milliseconds(*next);
    if (at > end) break;
    std::this_thread::sleep_until(at);
    source_.reach();
  }
  std::this_thread::sleep_until(end);
}

std::uint64_t SimClock::EnrolWorker() {
  if (mode_ != Mode::kVirtual) return 0;
  std::unique_lock lock(turnMutex_);
  const std::uint64_t ticket = ++lastTicket_;
  const std::uint64_t now = virtualMs_.load(std::memory_order_relaxed);
  workers_[ticket].wakeMs = now;
  if (holder_ == Holder::kWindow && now >= actMarkMs_) {
    workers_[ticket].wakeMs = actStartMs_ + (now - actMarkMs_);
    // The window's reads for the next worker of the act (its start time, its opening lines)
    // count on that worker's own time line, which starts with the act too.
    virtualMs_.store(actStartMs_, std::memory_order_relaxed);
    actMarkMs_ = actStartMs_;
  }
  // Nothing running: the new worker's turn begins at once, as a run alone begins.
  if (holder_ == Holder::kNone) PassTurn(lock);
  return ticket;
}

void SimClock::BeginWorker(std::uint64_t ticket) {
  if (mode_ != Mode::kVirtual || ticket == 0) return;
  tlWorker = {this, ticket};
  std::unique_lock lock(turnMutex_);
  workers_.at(ticket).given.wait(
      lock, [&] { return holder_ == Holder::kWorker && holderTicket_ == ticket; });
}

void SimClock::EndWorker() {
  if (tlWorker.clock != this) return;
  const std::uint64_t ticket = tlWorker.ticket;
  tlWorker = {};
  std::unique_lock lock(turnMutex_);
  stationMs_ = std::max(stationMs_, virtualMs_.load(std::memory_order_relaxed));
  workers_.erase(ticket);
  if (holder_ == Holder::kWorker && holderTicket_ == ticket) {
    holder_ = Holder::kNone;
    PassTurn(lock);
  }
}

bool SimClock::TryBeginWindowWork() {
  if (mode_ != Mode::kVirtual) return true;
  std::lock_guard lock(turnMutex_);
  if (holder_ == Holder::kNone || holder_ == Holder::kWindowGranted) {
    holder_ = Holder::kWindow;
    windowWants_ = false;
    actStartMs_ = actMarkMs_ = virtualMs_.load(std::memory_order_relaxed);
    return true;
  }
  // Already working (a click inside the window's own work) needs no second turn.
  if (holder_ == Holder::kWindow) return true;
  windowWants_ = true;
  return false;
}

void SimClock::EndWindowWork() {
  if (mode_ != Mode::kVirtual) return;
  std::unique_lock lock(turnMutex_);
  if (holder_ != Holder::kWindow) return;
  stationMs_ = std::max(stationMs_, virtualMs_.load(std::memory_order_relaxed));
  holder_ = Holder::kNone;
  PassTurn(lock);
}

void SimClock::WantWindowWork() {
  if (mode_ != Mode::kVirtual) return;
  std::lock_guard lock(turnMutex_);
  if (holder_ != Holder::kWindow && holder_ != Holder::kWindowGranted) windowWants_ = true;
}

bool SimClock::WindowOffered() const {
  std::lock_guard lock(turnMutex_);
  return holder_ == Holder::kWindowGranted;
}

std::size_t SimClock::WorkerCount() const {
  std::lock_guard lock(turnMutex_);
  return workers_.size();
}

void SimClock::PassTurn(std::unique_lock<std::mutex>& lock) {
  std::optional<std::uint64_t> reached;
  for (;;) {
    if (windowWants_) {
      // The window acts between turns, at the latest time the station has reached.
      windowWants_ = false;
      holder_ = Holder::kWindowGranted;
      virtualMs_.store(stationMs_, std::memory_order_relaxed);
      return;
    }
    auto next = workers_.end();
    for (auto it = workers_.begin(); it != workers_.end(); ++it) {
      if (it->second.waiting && (next == workers_.end() || it->second.wakeMs < next->second.wakeMs))
        next = it;
    }
    if (next == workers_.end()) {
      holder_ = Holder::kNone;
      virtualMs_.store(stationMs_, std::memory_order_relaxed);
      return;
    }
    // The bench's own moments up to that wake-up come first, in order, at their time.
    const std::uint64_t wake = next->second.wakeMs;
    if (source_.nextMs && source_.reach) {
      const std::optional<std::uint64_t> moment = source_.nextMs(stationMs_);
      if (moment && *moment <= wake && !(reached && *moment <= *reached)) {
        reached = moment;
        holder_ = Holder::kBench;
        virtualMs_.store(*moment, std::memory_order_relaxed);
        stationMs_ = std::max(stationMs_, *moment);
        lock.unlock();
        source_.reach();
        lock.lock();
        stationMs_ = std::max(stationMs_, virtualMs_.load(std::memory_order_relaxed));
        continue;
      }
    }
    next->second.waiting = false;
    holder_ = Holder::kWorker;
    holderTicket_ = next->first;
    stationMs_ = std::max(stationMs_, wake);
    virtualMs_.store(wake, std::memory_order_relaxed);
    next->second.given.notify_one();
    return;
  }
}

std::uint64_t SimClock::NowMs() const {
  if (mode_ == Mode::kVirtual) return virtualMs_.load(std::memory_order_relaxed);
  const auto elapsed = std::chrono::steady_clock::now() - realStart_;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void SimClock::Advance(std::uint64_t ms) {
  if (mode_ == Mode::kVirtual) virtualMs_.fetch_add(ms, std::memory_order_relaxed);
}

}  // namespace platform::sim
