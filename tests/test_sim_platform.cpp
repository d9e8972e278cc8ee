// The simulated platform: its clock, registry, host facts, files, events and "ITEM" resources,
// checked through the same Win32-shaped calls the rest of the system makes.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/HostFacts.h"
#include "platform/sim/ItemResources.h"
#include "platform/sim/SimIds.h"
#include "platform/sim/SimPlatform.h"

namespace {

using namespace platform;
using platform::sim::SimClock;
using platform::sim::SimOptions;
using platform::sim::SimPlatform;
using platform::sim::SimRegistry;

SimOptions Bare() {
  SimOptions options;
  options.hostFacts = false;
  return options;
}

std::string Show(const LocalTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.hundredths);
  return text;
}

// --- Clock ---------------------------------------------------------------------------------------

TEST(SimClock, VirtualDayLongWaitReturnsAtOnceWithTheNextDay) {
  SimClock clock;
  EXPECT_EQ(Show(clock.GetLocalTime()), "2026-12-07 09:05:00.00");
  // A real sleep here would outlast the test run's time-out.
  clock.Wait(24u * 60 * 60 * 1000);
  EXPECT_EQ(clock.NowMs(), 24u * 60 * 60 * 1000 + SimClock::kReadStepMs);
  EXPECT_EQ(Show(clock.GetLocalTime()), "2026-12-08 09:05:00.00");
}

TEST(SimClock, HundredthsChangeThirtyTimesWithinABoundedNumberOfReads) {
  SimClock clock;
  int changes = 0;
  int reads = 0;
  int last = clock.GetLocalTime().hundredths;
  while (changes < 30 && reads < 100000) {
    const int now = clock.GetLocalTime().hundredths;
    ++reads;
    if (now != last) ++changes;
    last = now;
  }
  EXPECT_EQ(changes, 30);
  EXPECT_LE(reads, 30 * 10 / static_cast<int>(SimClock::kReadStepMs) + 10);
}

// The timed link once paced its reads by reading the local time until the hundredths had changed
// thirty times; it now pauses until a moment of the monotonic clock. Every virtual time of a run
// after such a pace depends on where it leaves the clock, so a pause must end exactly where the
// readings did, and the two clocks must turn over their hundredths and seconds together.
TEST(SimClock, APauseUntilAMomentEndsWhereReadingTheClockUntilThenDid) {
  const LocalTime starts[] = {
      SimClock::kDefaultStart, {2026, 12, 7, 23, 59, 59, 95}, {2026, 3, 29, 1, 59, 59, 37}};
  for (const LocalTime& start : starts) {
    for (std::uint32_t phase = 0; phase < 10; ++phase) {
      SCOPED_TRACE(Show(start) + " + " + std::to_string(phase) + " ms");
      SimClock reading(SimClock::Mode::kVirtual, start);
      SimClock pausing(SimClock::Mode::kVirtual, start);
      reading.Advance(phase);
      pausing.Advance(phase);
      int last = reading.GetLocalTime().hundredths;
      for (int changes = 0; changes < 30;) {
        const int now = reading.GetLocalTime().hundredths;
        if (now != last) ++changes;
        last = now;
      }
      pausing.PauseUntil((pausing.MonotonicMs() / 10 + 30) * 10);
      EXPECT_EQ(pausing.NowMs(), reading.NowMs());
      for (int i = 0; i < 2500; ++i) {
        const LocalTime t = reading.GetLocalTime();
        const std::uint64_t ms = pausing.MonotonicMs();
        if (t.hundredths != static_cast<int>(ms / 10 % 100) ||
            t.second != static_cast<int>(ms / 1000 % 60)) {
          ADD_FAILURE() << Show(t) << " read as " << ms << " ms";
          break;
        }
      }
    }
  }
}

TEST(SimClock, WaitsCrossDaysMonthsYearsAndLeapDays) {
  struct Case {
    LocalTime start;
    std::uint32_t waitMs;
    const char* expected;
  };
  const Case cases[] = {
      {{2026, 12, 7, 23, 59, 59, 90}, 100, "2026-12-08 00:00:00.00"},
      {{2026, 12, 7, 23, 59, 59, 90}, 99, "2026-12-07 23:59:59.99"},
      {{2026, 4, 30, 23, 59, 59, 90}, 100, "2026-05-01 00:00:00.00"},
      {{2026, 12, 31, 23, 59, 59, 90}, 100, "2027-01-01 00:00:00.00"},
      {{2027, 2, 28, 23, 59, 59, 90}, 100, "2027-03-01 00:00:00.00"},
      {{2028, 2, 28, 23, 59, 59, 90}, 100, "2028-02-29 00:00:00.00"},
      {{2028, 2, 29, 23, 59, 59, 90}, 100, "2028-03-01 00:00:00.00"},
      {{2100, 2, 28, 23, 59, 59, 90}, 100, "2100-03-01 00:00:00.00"},
      {{2000, 2, 28, 23, 59, 59, 90}, 100, "2000-02-29 00:00:00.00"},
      {{2026, 1, 1, 0, 0, 0, 0}, 4'000'000'000u, "2026-02-16 07:06:40.00"},
  };
  for (const Case& c : cases) {
    SimClock clock(SimClock::Mode::kVirtual, c.start);
    clock.Wait(c.waitMs);
    EXPECT_EQ(Show(clock.GetLocalTime()), c.expected) << Show(c.start) << " + " << c.waitMs;
  }
}

// --- Workers taking turns on the clock -----------------------------------------------------------

// One worker of a case: it notes its name and the clock at its start and after each pause.
struct TurnPlan {
  char name;
  std::vector<std::uint32_t> pauses;
  std::uint32_t opening = 0;  // the window's reads just before it enrols this worker (in an act)
  int asksWindowAfter = -1;   // it asks for the window's turn after this many pauses
};

struct TurnCase {
  const char* what;
  std::vector<TurnPlan> workers;  // in the order enrolled
  // Each step as name@ms in the order taken: W the window's work, * a bench moment reached.
  const char* expected;
  std::uint64_t endMs;            // the clock once every worker has ended
  bool inOneAct = false;          // enrolled in one window act begun at 1000 ms, else at 0 ms
  bool windowTriesFirst = false;  // the window tries to work while the first worker has the turn
  std::vector<std::uint64_t> moments = {};  // the bench's timed moments
};

// What the threads of one case share. A clock that loses a turn leaves threads waiting for
// good: the case then fails after a bound no healthy clock comes near, and the waiting threads
// are left behind holding this state, so that nothing they touch goes away under them.
struct TurnSession {
  static constexpr int kWindowReads = 7;
  SimClock clock;
  std::mutex mutex;
  std::condition_variable changed;
  std::string log;
  std::vector<std::uint64_t> moments;  // not yet reached
  std::size_t workersLeft = 0;
  std::size_t threadsLeft = 0;
  std::atomic<bool> abandoned{false};

  void Note(char who) {
    const std::uint64_t now = clock.NowMs();
    std::lock_guard lock(mutex);
    log += (log.empty() ? "" : " ") + std::string(1, who) + "@" + std::to_string(now);
  }
  void Ended(bool worker) {
    std::lock_guard lock(mutex);
    if (worker) --workersLeft;
    --threadsLeft;
    changed.notify_all();
  }
  bool WorkersGone() {
    std::lock_guard lock(mutex);
    return workersLeft == 0;
  }
};

// The steps as taken and the clock at the end; false when threads were still waiting for a turn
// after the bound.
bool RunTurns(const TurnCase& c, std::string& log, std::uint64_t& endMs) {
  auto s = std::make_shared<TurnSession>();
  s->moments = c.moments;
  if (!c.moments.empty()) {
    // As the bench's events: the next one pending, whatever the time asked about; reaching it
    // clears it.
    TurnSession* session = s.get();
    s->clock.SetTimeSource(
        {[session](std::uint64_t) {
           std::lock_guard lock(session->mutex);
           return session->moments.empty() ? std::nullopt : std::optional(session->moments.front());
         },
         [session] {
           session->Note('*');
           std::lock_guard lock(session->mutex);
           const std::uint64_t now = session->clock.NowMs();
           std::erase_if(session->moments, [now](std::uint64_t m) { return m <= now; });
         }});
  }
  std::vector<std::uint64_t> tickets;
  if (c.inOneAct) {
    s->clock.Advance(1000);
    EXPECT_TRUE(s->clock.TryBeginWindowWork()) << c.what;
  }
  for (const TurnPlan& plan : c.workers) {
    for (std::uint32_t i = 0; i < plan.opening; ++i) s->clock.GetLocalTime();
    tickets.push_back(s->clock.EnrolWorker());
  }
  if (c.inOneAct) s->clock.EndWindowWork();
  int windowTurns = 0;
  if (c.windowTriesFirst) {
    EXPECT_FALSE(s->clock.TryBeginWindowWork()) << c.what << ": a worker has the turn";
    ++windowTurns;
  }
  for (const TurnPlan& plan : c.workers) windowTurns += plan.asksWindowAfter >= 0 ? 1 : 0;
  s->workersLeft = c.workers.size();
  s->threadsLeft = c.workers.size() + (windowTurns > 0 ? 1 : 0);

  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < c.workers.size(); ++i) {
    threads.emplace_back([s, plan = c.workers[i], ticket = tickets[i]] {
      s->clock.BeginWorker(ticket);
      for (std::size_t k = 0;; ++k) {
        s->Note(plan.name);
        if (static_cast<int>(k) == plan.asksWindowAfter) s->clock.WantWindowWork();
        if (k == plan.pauses.size()) break;
        s->clock.Wait(plan.pauses[k]);
      }
      s->clock.EndWorker();
      s->Ended(true);
    });
  }
  if (windowTurns > 0) {
    // The window works once it is offered the turn, or once no worker is left to offer it.
    threads.emplace_back([s, windowTurns] {
      for (int turn = 0; turn < windowTurns && !s->abandoned; ++turn) {
        while (!s->abandoned && !s->clock.WindowOffered() && !s->WorkersGone()) {
          std::this_thread::yield();
        }
        if (s->abandoned) break;
        if (!s->clock.TryBeginWindowWork()) {
          s->Note('!');
          continue;
        }
        s->Note('W');
        for (int i = 0; i < TurnSession::kWindowReads; ++i) s->clock.GetLocalTime();
        s->clock.EndWindowWork();
      }
      s->Ended(false);
    });
  }

  std::unique_lock lock(s->mutex);
  if (!s->changed.wait_for(lock, std::chrono::seconds(10), [&] { return s->threadsLeft == 0; })) {
    ADD_FAILURE() << c.what << ": threads still wait for a turn; so far: " << s->log;
    s->abandoned = true;
    for (std::thread& t : threads) t.detach();
    return false;
  }
  lock.unlock();
  for (std::thread& t : threads) t.join();
  endMs = s->clock.NowMs();
  log = s->log;
  return true;
}

// Runs share one clock: each sees its own time line, the turn goes to the worker whose pause
// ends first, and a session goes the same way every time.
TEST(SimClock, WorkersTakeTurnsInWakeOrderWithTheWindowAndTheBenchBetween) {
  const TurnCase cases[] = {
      {"a worker alone sees its own pauses", {{'A', {100, 250}}}, "A@0 A@100 A@350", 350},
      {"two workers interleave by wake time",
       {{'A', {100, 100, 100}}, {'B', {150, 150}}},
       "A@0 B@0 A@100 B@150 A@200 A@300 B@300",
       300},
      {"a tie goes to the worker enrolled first, not to the one that paused first",
       {{'A', {50, 50}}, {'B', {100}}},
       "A@0 B@0 A@50 A@100 B@100",
       100},
      {"a worker that ends hands the turn to the next to wake",
       {{'A', {10}}, {'B', {500}}, {'C', {20}}},
       "A@0 B@0 C@0 A@10 C@20 B@500",
       500},
      {"the window waits for a worker's turn to end, then works before the next turn",
       {{'A', {100}}, {'B', {100}}},
       "A@0 W@0 B@0 A@100 B@100",
       100,
       false,
       true},
      {"a worker asking for the window gives it the next turn, at the latest time reached",
       {{'A', {300}}, {'B', {100, 100}, 0, 1}},
       "A@0 B@0 B@100 W@100 B@200 A@300",
       300},
      {"a lone worker's pause gives the window the turn it asked for",
       {{'A', {100, 100}, 0, 0}},
       "A@0 W@0 A@100 A@200",
       200},
      {"workers enrolled in one act each start at the act's start, after their own opening",
       {{'A', {100}, 3}, {'B', {100}, 5}, {'C', {50}, 0}},
       "C@1000 A@1003 B@1005 C@1050 A@1103 B@1105",
       1105,
       true},
      {"the bench's moments inside a lone worker's pause are reached in order",
       {{'A', {500}}},
       "A@0 *@150 *@250 A@500",
       500,
       false,
       false,
       {150, 250}},
      {"the bench's moments up to a worker's wake-up come before it",
       {{'A', {100, 100}}, {'B', {300}}},
       "A@0 B@0 A@100 *@150 *@200 A@200 *@250 B@300",
       300,
       false,
       false,
       {150, 200, 250}},
  };
  for (const TurnCase& c : cases) {
    std::string log;
    std::uint64_t endMs = 0;
    if (!RunTurns(c, log, endMs)) break;  // the cases after it would wait as long
    EXPECT_EQ(log, c.expected) << c.what;
    EXPECT_EQ(endMs, c.endMs) << c.what;
  }
}

// --- Events --------------------------------------------------------------------------------------

TEST(SimPlatformRandom, VirtualTimeDrawsTheSeedsBytesRealTimeTheHosts) {
  auto draw = [](SimOptions options) {
    SimPlatform sim(options);
    std::array<unsigned char, 40> bytes{};
    EXPECT_TRUE(sim.GenRandom(bytes.data(), 20));
    EXPECT_TRUE(sim.GenRandom(bytes.data() + 20, 20));
    return bytes;
  };
  SimOptions seeded;
  seeded.hostFacts = false;
  seeded.randomSeed = 7;
  SimOptions other = seeded;
  other.randomSeed = 8;
  EXPECT_EQ(draw(seeded), draw(seeded));
  EXPECT_NE(draw(seeded), draw(other));
  const auto bytes = draw(seeded);
  EXPECT_NE(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 20),
            std::vector<unsigned char>(bytes.begin() + 20, bytes.end()))
      << "the second draw goes on from the first";
  SimOptions real = seeded;
  real.clockMode = SimClock::Mode::kReal;
  EXPECT_NE(draw(real), draw(real));
  EXPECT_EQ(SimPlatform(seeded).UtcOffsetMinutes(), 60);
}

TEST(SimEvents, VirtualWaitsTimeOutByTheTimeoutUnlessSignalled) {
  SimPlatform sim(Bare());
  const Handle pause = sim.CreateEventA(false, false);
  EXPECT_EQ(sim.WaitForSingleObject(pause, 500), kWaitTimeout);
  EXPECT_EQ(sim.WaitForSingleObject(12345, 100), kWaitTimeout);  // unknown: still pauses
  EXPECT_EQ(sim.Clock().NowMs(), 600u);
  EXPECT_TRUE(sim.SetEvent(pause));
  EXPECT_EQ(sim.WaitForSingleObject(pause, 500), kWaitObject0);
  EXPECT_EQ(sim.WaitForSingleObject(pause, 500), kWaitTimeout);  // auto-reset took the signal
  EXPECT_EQ(sim.Clock().NowMs(), 1100u);
  const Handle manual = sim.CreateEventA(true, true);
  EXPECT_EQ(sim.WaitForSingleObject(manual, 10), kWaitObject0);
  EXPECT_EQ(sim.WaitForSingleObject(manual, 10), kWaitObject0);
  EXPECT_TRUE(sim.CloseHandle(pause));
  EXPECT_FALSE(sim.CloseHandle(pause));
}

TEST(SimEvents, ConcurrentVirtualWaitsAndReadsAddUpExactly) {
  SimPlatform sim(Bare());
  const Handle pause = sim.CreateEventA(false, false);
  constexpr int kRounds = 2000;
  auto worker = [&] {
    for (int i = 0; i < kRounds; ++i) {
      sim.WaitForSingleObject(pause, 500);
      sim.GetLocalTime();
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(sim.Clock().NowMs(), 2u * kRounds * (500 + SimClock::kReadStepMs));
}

TEST(SimEvents, RealWaitEndsWhenAnotherThreadSignals) {
  SimOptions options = Bare();
  options.clockMode = SimClock::Mode::kReal;
  SimPlatform sim(options);
  const Handle event = sim.CreateEventA(false, false);
  std::thread signaller([&] { sim.SetEvent(event); });
  // Signalled before or during the wait; a missed wake-up would time out instead.
  EXPECT_EQ(sim.WaitForSingleObject(event, 60'000), kWaitObject0);
  signaller.join();
  EXPECT_EQ(sim.WaitForSingleObject(event, 1), kWaitTimeout);
}

// --- Registry ------------------------------------------------------------------------------------

constexpr const char* kDevice = "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1723&PID_0903";

class SimRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reg.SetString(kDevice, "DeviceDesc", "Autoloader");
    reg.SetDword(kDevice, "Flags", 0x01020304);
    reg.CreateKey("SYSTEM\\CurrentControlSet\\Enum\\USB\\ROOT_HUB20");
    reg.CreateKey("SYSTEM\\CurrentControlSet\\Enum\\USB\\root_hub30");
  }

  Handle Open(const char* path) {
    Handle key = kInvalidHandle;
    EXPECT_EQ(reg.OpenKey(path, &key), kErrorSuccess) << path;
    return key;
  }

  SimRegistry reg;
};

TEST_F(SimRegistryTest, PathsOpenWithoutRegardToCase) {
  struct Case {
    const char* path;
    long result;
  };
  const Case cases[] = {
      {"system\\currentcontrolset\\ENUM\\usb\\vid_1723&pid_0903", kErrorSuccess},
      {"SYSTEM\\CurrentControlSet\\Enum\\USB\\", kErrorSuccess},
      {"", kErrorSuccess},
      {"\\SYSTEM", kErrorBadPathname},
      {"SYSTEM\\\\CurrentControlSet", kErrorFileNotFound},
      {"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR", kErrorFileNotFound},
  };
  for (const Case& c : cases) {
    Handle key = kInvalidHandle;
    EXPECT_EQ(reg.OpenKey(c.path, &key), c.result) << c.path;
    if (c.result == kErrorSuccess) {
      EXPECT_EQ(reg.CloseKey(key), kErrorSuccess);
    }
  }
  EXPECT_EQ(reg.OpenKeyCount(), 0u);
}

// Hundreds of found paths, some the start of others, each still leads to its own key when asked
// again in another order and case, and none after its key is deleted.
TEST_F(SimRegistryTest, ManyFoundPathsEachLeadToTheirOwnKey) {
  constexpr int kKeys = 600;
  const auto path = [](int i) {
    return "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1723&PID_0903\\U" + std::to_string(i);
  };
  for (int i = 0; i < kKeys; ++i) reg.SetDword(path(i), "Index", static_cast<std::uint32_t>(i));
  const auto indexAt = [&](const std::string& at) -> long {
    Handle key = kInvalidHandle;
    if (reg.OpenKey(at.c_str(), &key) != kErrorSuccess) return -1;
    std::uint32_t value = 0;
    std::uint32_t size = sizeof value;
    const long read =
        reg.QueryValue(key, "Index", nullptr, reinterpret_cast<std::uint8_t*>(&value), &size);
    EXPECT_EQ(reg.CloseKey(key), kErrorSuccess);
    return read == kErrorSuccess ? static_cast<long>(value) : -2;
  };
  for (int i = 0; i < kKeys; ++i) ASSERT_EQ(indexAt(path(i)), i);
  for (int i = kKeys - 1; i >= 0; --i) {
    std::string lower = path(i);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_EQ(indexAt(lower), i);
  }
  ASSERT_TRUE(reg.DeleteKey(path(17)));
  EXPECT_EQ(indexAt(path(17)), -1);
  EXPECT_EQ(indexAt(path(170)), 170);  // "U17" begins its path
  EXPECT_EQ(indexAt(path(1)), 1);
}

TEST_F(SimRegistryTest, QueryValueFollowsWin32BufferRules) {
  const Handle key = Open(kDevice);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  // Null data: a size query.
  EXPECT_EQ(reg.QueryValue(key, "devicedesc", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 11u);  // "Autoloader" and its zero

  // One byte short: kErrorMoreData, the full size, the buffer untouched.
  std::array<std::uint8_t, 16> buffer;
  buffer.fill(0xEE);
  size = 10;
  EXPECT_EQ(reg.QueryValue(key, "DeviceDesc", &type, buffer.data(), &size), kErrorMoreData);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(buffer[0], 0xEE);

  size = 11;
  ASSERT_EQ(reg.QueryValue(key, "DeviceDesc", nullptr, buffer.data(), &size), kErrorSuccess);
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "Autoloader");
  EXPECT_EQ(buffer[11], 0xEE);

  size = sizeof buffer;
  ASSERT_EQ(reg.QueryValue(key, "Flags", &type, buffer.data(), &size), kErrorSuccess);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + size),
            (std::vector<std::uint8_t>{4, 3, 2, 1}));

  size = sizeof buffer;
  EXPECT_EQ(reg.QueryValue(key, "Service", &type, buffer.data(), &size), kErrorFileNotFound);
  EXPECT_EQ(reg.QueryValue(key, "DeviceDesc", &type, buffer.data(), nullptr),
            kErrorInvalidParameter);
  reg.CloseKey(key);
}

// Values of one key share their storage: overwriting, deleting and re-adding one (under any
// case of its name) leaves the others' bytes and types as they were.
TEST_F(SimRegistryTest, ValuesKeepTheirBytesThroughOverwritesAndDeletes) {
  const std::string path = kDevice;
  reg.SetString(path, "", "default");
  reg.SetString(path, "ParentIdPrefix", "6&1a2b3c4d&0");
  reg.SetString(path, "parentidprefix", "7&55&0");  // the same value: replaced, not added
  reg.SetBinary(path, "Blob", std::vector<std::uint8_t>(300, 0xAB));
  EXPECT_TRUE(reg.DeleteValue(path, "FLAGS"));
  EXPECT_FALSE(reg.DeleteValue(path, "Flags"));
  reg.SetDword(path, "Flags", 0x05060708);
  struct Case {
    const char* name;
    long result;
    std::uint32_t type;
    std::vector<std::uint8_t> bytes;
  };
  const auto text = [](std::string_view t) {
    std::vector<std::uint8_t> bytes(t.begin(), t.end());
    bytes.push_back(0);
    return bytes;
  };
  const Case cases[] = {
      {nullptr, kErrorSuccess, kRegSz, text("default")},
      {"", kErrorSuccess, kRegSz, text("default")},
      {"PARENTIDPREFIX", kErrorSuccess, kRegSz, text("7&55&0")},
      {"DeviceDesc", kErrorSuccess, kRegSz, text("Autoloader")},
      {"blob", kErrorSuccess, kRegBinary, std::vector<std::uint8_t>(300, 0xAB)},
      {"Flags", kErrorSuccess, kRegDword, {8, 7, 6, 5}},
      {"ParentIdPrefi", kErrorFileNotFound, 0, {}},
      {"ParentIdPrefixx", kErrorFileNotFound, 0, {}},
  };
  const Handle key = Open(kDevice);
  const auto expectAll = [&](std::span<const Case> all) {
    for (const Case& c : all) {
      std::array<std::uint8_t, 512> buffer{};
      std::uint32_t type = 0;
      auto size = static_cast<std::uint32_t>(buffer.size());
      ASSERT_EQ(reg.QueryValue(key, c.name, &type, buffer.data(), &size), c.result)
          << (c.name ? c.name : "(null)");
      if (c.result != kErrorSuccess) continue;
      EXPECT_EQ(type, c.type) << c.name;
      EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + size), c.bytes)
          << (c.name ? c.name : "(null)");
    }
  };
  expectAll(cases);
  // Deleting the large value and adding another leaves the others as they were.
  EXPECT_TRUE(reg.DeleteValue(path, "BLOB"));
  reg.SetString(path, "Service", "usbhub");
  const Case after[] = {
      {"ParentIdPrefix", kErrorSuccess, kRegSz, text("7&55&0")},
      {"Flags", kErrorSuccess, kRegDword, {8, 7, 6, 5}},
      {"Service", kErrorSuccess, kRegSz, text("usbhub")},
      {"Blob", kErrorFileNotFound, 0, {}},
  };
  expectAll(after);
  reg.CloseKey(key);
}

TEST_F(SimRegistryTest, EnumKeyListsSortedWithoutCaseAndStopsPastTheEnd) {
  const Handle key = Open("SYSTEM\\CurrentControlSet\\Enum\\USB");
  std::vector<std::string> names;
  char name[64];
  std::uint32_t index = 0;
  while (reg.EnumKey(key, index, name, sizeof name) == kErrorSuccess) {
    names.push_back(name);
    ++index;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"ROOT_HUB20", "root_hub30", "VID_1723&PID_0903"}));
  EXPECT_EQ(reg.EnumKey(key, 3, name, sizeof name), kErrorNoMoreItems);
  EXPECT_EQ(reg.EnumKey(key, 0, name, 10), kErrorMoreData);  // "ROOT_HUB20" needs 11
  EXPECT_EQ(reg.EnumKey(key, 0, name, 11), kErrorSuccess);
  reg.CloseKey(key);
}

TEST_F(SimRegistryTest, DeletedKeyAnswersKeyDeletedThroughOpenHandles) {
  const Handle device = Open(kDevice);
  const Handle usb = Open("SYSTEM\\CurrentControlSet\\Enum\\USB");
  EXPECT_TRUE(reg.DeleteKey("SYSTEM\\CurrentControlSet\\Enum\\USB"));
  EXPECT_FALSE(reg.DeleteKey("SYSTEM\\CurrentControlSet\\Enum\\USB"));
  std::uint32_t size = 0;
  char name[64];
  EXPECT_EQ(reg.QueryValue(device, "DeviceDesc", nullptr, nullptr, &size), kErrorKeyDeleted);
  EXPECT_EQ(reg.EnumKey(usb, 0, name, sizeof name), kErrorKeyDeleted);

  // Both paths were opened before: neither may still lead to what was deleted.
  Handle again = 0;
  EXPECT_EQ(reg.OpenKey(kDevice, &again), kErrorFileNotFound);

  reg.CreateKey("SYSTEM\\CurrentControlSet\\Enum\\USB");  // a new key, not the old one back
  EXPECT_EQ(reg.EnumKey(usb, 0, name, sizeof name), kErrorKeyDeleted);
  ASSERT_EQ(reg.OpenKey("system\\currentcontrolset\\enum\\usb", &again), kErrorSuccess);
  EXPECT_EQ(reg.EnumKey(again, 0, name, sizeof name), kErrorNoMoreItems);  // empty, not deleted
  // The deleted key outlives the closing of other handles while one still points at it.
  EXPECT_EQ(reg.CloseKey(device), kErrorSuccess);
  EXPECT_EQ(reg.CloseKey(again), kErrorSuccess);
  EXPECT_EQ(reg.EnumKey(usb, 0, name, sizeof name), kErrorKeyDeleted);
  EXPECT_EQ(reg.CloseKey(usb), kErrorSuccess);
  EXPECT_EQ(reg.OpenKeyCount(), 0u);
}

TEST(SimRegistryHelpers, MountedDevicesTextIsUtf16WithoutTerminator) {
  EXPECT_EQ(platform::sim::Utf16LeBytes("E:"), (std::vector<std::uint8_t>{'E', 0, ':', 0}));
}

TEST_F(SimRegistryTest, KeyAndObjectHandlesDoNotMix) {
  SimPlatform sim(Bare());
  Handle key = kInvalidHandle;
  ASSERT_EQ(sim.RegOpenKeyExA("", &key), kErrorSuccess);
  EXPECT_FALSE(sim.CloseHandle(key));
  const Handle event = sim.CreateEventA(false, false);
  EXPECT_EQ(sim.RegCloseKey(event), kErrorInvalidHandle);
  EXPECT_EQ(sim.RegCloseKey(key), kErrorSuccess);
  EXPECT_TRUE(sim.CloseHandle(event));
}

TEST_F(SimRegistryTest, ConcurrentFillingAndReadingIsSafe) {
  std::thread writer([&] {
    for (int i = 0; i < 300; ++i) {
      const std::string path = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\Disk" + std::to_string(i);
      reg.SetString(path, "FriendlyName", "Drive");
      if (i % 3 == 0) reg.DeleteKey(path);
    }
  });
  for (int round = 0; round < 300; ++round) {
    Handle key = kInvalidHandle;
    if (reg.OpenKey("SYSTEM\\CurrentControlSet\\Enum\\USBSTOR", &key) != kErrorSuccess) continue;
    char name[64];
    for (std::uint32_t i = 0; reg.EnumKey(key, i, name, sizeof name) == kErrorSuccess; ++i) {
      EXPECT_EQ(std::strncmp(name, "Disk", 4), 0);
    }
    reg.CloseKey(key);
  }
  writer.join();
  // Disk0 to Disk299 less every third one.
  const Handle key = Open("SYSTEM\\CurrentControlSet\\Enum\\USBSTOR");
  char name[64];
  EXPECT_EQ(reg.EnumKey(key, 199, name, sizeof name), kErrorSuccess);
  EXPECT_EQ(reg.EnumKey(key, 200, name, sizeof name), kErrorNoMoreItems);
  reg.CloseKey(key);
}

// --- Host facts ----------------------------------------------------------------------------------

std::string QueryText(Platform& os, const char* path, const char* value) {
  Handle key = kInvalidHandle;
  if (os.RegOpenKeyExA(path, &key) != kErrorSuccess) return "<no key>";
  std::uint8_t data[256];
  std::uint32_t size = sizeof data;
  std::uint32_t type = 0;
  const long result = os.RegQueryValueExA(key, value, &type, data, &size);
  os.RegCloseKey(key);
  if (result != kErrorSuccess || type != kRegSz || size == 0 || data[size - 1] != 0) {
    return "<bad value>";
  }
  return reinterpret_cast<const char*>(data);
}

TEST(SimHostFacts, RegistryHoldsProcessorAndVersionKeysAsTheHostReportReadsThem) {
  SimPlatform sim;
  EXPECT_FALSE(
      QueryText(sim, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", "ProcessorNameString")
          .empty());
  for (const char* value :
       {"ProductName", "CSDVersion", "CurrentVersion", "CurrentBuild", "CurrentBuildNumber"}) {
    EXPECT_EQ(QueryText(sim, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", value).find('<'),
              std::string::npos)
        << value;
  }
}

TEST(SimHostFacts, MemInfoIsClampedLikeTheLegacyStatus) {
  struct Case {
    const char* text;
    std::uint32_t total;
    std::uint32_t avail;
  };
  const Case cases[] = {
      {"MemTotal:     2048 kB\nMemFree:  512 kB\nMemAvailable:   1024 kB\n", 2048 * 1024,
       1024 * 1024},
      {"MemTotal:  16318480 kB\nMemAvailable:  4194304 kB\n", 0xFFFFFFFFu, 0xFFFFFFFFu},
      {"MemTotal:  4194303 kB\nMemAvailable:  4194304 kB\n", 0xFFFFFC00u, 0xFFFFFFFFu},
      {"MemTotal:  1000 kB\nMemFree:  300 kB\n", 1000 * 1024, 300 * 1024},  // old kernel
      {"MemTotal: 99999999999999999999999999 kB\nMemAvailable: 77\n", 0xFFFFFFFFu, 77},
      {"garbage\n\nMemTotal\nMemAvailable: kB", 0, 0},
      {"", 0, 0},
  };
  for (const Case& c : cases) {
    const MemoryStatus status = platform::sim::ParseMemInfo(c.text);
    EXPECT_EQ(status.totalPhys, c.total) << c.text;
    EXPECT_EQ(status.availPhys, c.avail) << c.text;
  }
}

TEST(SimHostFacts, ProcessorNamesSurviveOddCpuinfo) {
  using platform::sim::ParseProcessorNames;
  EXPECT_EQ(ParseProcessorNames("processor\t: 0\nmodel name\t: AMD EPYC\n\nprocessor\t: 1\n"
                                "model name\t: AMD EPYC\n",
                                "x86_64 processor"),
            (std::vector<std::string>{"AMD EPYC", "AMD EPYC"}));
  // Arm without model names, no trailing newline.
  EXPECT_EQ(ParseProcessorNames("processor : 0\nCPU part : 0xd08\nprocessor : 1", "aarch64 cpu"),
            (std::vector<std::string>{"aarch64 cpu", "aarch64 cpu"}));
  EXPECT_TRUE(ParseProcessorNames("model name : orphan\n", "x").empty());
  const auto longName =
      ParseProcessorNames("processor : 0\nmodel name : " + std::string(5000, 'Z') + "\x01\n", "x");
  ASSERT_EQ(longName.size(), 1u);
  EXPECT_EQ(longName[0], std::string(platform::sim::kMaxHostText, 'Z'));
}

TEST(SimHostFacts, OsNameAndKernelVersionShapes) {
  using platform::sim::KernelMajorMinor;
  using platform::sim::ParseOsReleaseName;
  EXPECT_EQ(ParseOsReleaseName("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 "
                               "(bookworm)\"\n"),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(ParseOsReleaseName("NAME=Alpine\n"), "Alpine");
  EXPECT_EQ(ParseOsReleaseName("ID=x\n"), "");
  EXPECT_EQ(KernelMajorMinor("6.1.0-18-amd64"), "6.1");
  EXPECT_EQ(KernelMajorMinor("6.18.44-fc-v1300"), "6.18");
  EXPECT_EQ(KernelMajorMinor("5.4-rc1"), "5.4");
  EXPECT_EQ(KernelMajorMinor(""), "");
}

// --- "ITEM" resources ----------------------------------------------------------------------------

std::string SourceFile(const std::string& relative) {
  std::ifstream in(std::string(VELTRANE_SOURCE_DIR) + "/" + relative, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(SimItemResources, EveryStepListIsEmbeddedByteForByte) {
  SimPlatform sim(Bare());
  for (const char* model : {"TM36K", "TM36P", "HV22", "LQ40", "ZP61", "ZP65", "ZP71", "ZP75"}) {
    const std::string name = std::string("LIST_") + model;
    const std::string onDisk = SourceFile("resources/" + name + ".txt");
    ASSERT_FALSE(onDisk.empty()) << name;
    const auto bytes = sim.LoadItemResource(name.c_str());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), onDisk) << name;
  }
  EXPECT_EQ(platform::sim::kItemResourceCount, 8u);
  EXPECT_TRUE(sim.LoadItemResource("LIST_ZP99").empty());
  EXPECT_TRUE(sim.LoadItemResource(nullptr).empty());
  EXPECT_EQ(sim.LoadItemResource("list_zp61").size(), sim.LoadItemResource("LIST_ZP61").size());
}

TEST(SimItemResources, Zp61HasFourteenCrlfLinesAndRowTenEndsWithASpace) {
  SimPlatform sim(Bare());
  const auto bytes = sim.LoadItemResource("LIST_ZP61");
  const std::string text(bytes.begin(), bytes.end());
  std::vector<std::string> rows;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    rows.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size());  // the last line has its CR LF too, and nothing follows
  ASSERT_EQ(rows.size(), 14u);
  EXPECT_EQ(rows[9], "Lower tray close ");
  EXPECT_EQ(bytes.size(), 301u);
}

// --- Files ---------------------------------------------------------------------------------------

class SimFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Unique per run: the same test may run at once from several build trees.
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir = std::filesystem::temp_directory_path() / ("veltrane-simfiles-" + std::to_string(stamp));
    std::filesystem::create_directories(dir);
    log = (dir / "Test.log").string();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  bool WriteAll(const std::string& text) {
    const Handle file = sim.CreateFileA(log.c_str(), kGenericWrite, 0, kCreateAlways);
    if (file == kInvalidHandle) return false;
    std::uint32_t done = 0;
    const bool ok =
        sim.WriteFile(file, text.data(), static_cast<std::uint32_t>(text.size()), &done);
    return sim.CloseHandle(file) && ok && done == text.size();
  }

  SimPlatform sim{Bare()};
  std::filesystem::path dir;
  std::string log;
};

TEST_F(SimFilesTest, LogWrittenThenReadBackAndRewrittenWhole) {
  ASSERT_TRUE(WriteAll("first run line\r\nsecond\r\n"));
  ASSERT_TRUE(WriteAll("short\r\n"));  // kCreateAlways truncates
  const Handle file = sim.CreateFileA(log.c_str(), kGenericRead, kFileShareRead, kOpenExisting);
  ASSERT_NE(file, kInvalidHandle);
  char buffer[64] = {};
  std::uint32_t done = 0;
  ASSERT_TRUE(sim.ReadFile(file, buffer, sizeof buffer, &done));
  EXPECT_EQ(std::string(buffer, done), "short\r\n");
  EXPECT_TRUE(sim.ReadFile(file, buffer, sizeof buffer, &done));  // end of file
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(sim.WriteFile(file, "x", 1, &done));  // opened for reading only
  std::uint32_t returned = 9;
  EXPECT_FALSE(sim.DeviceIoControl(file, 1, nullptr, 0, buffer, sizeof buffer, &returned));
  EXPECT_EQ(returned, 0u);  // plain files have no device controls
  EXPECT_TRUE(sim.CloseHandle(file));
  EXPECT_FALSE(sim.ReadFile(file, buffer, sizeof buffer, &done));
  EXPECT_EQ(sim.OpenHandleCount(), 0u);
}

TEST_F(SimFilesTest, OpeningWhatIsNotThereFailsCleanly) {
  const std::string missing = (dir / "absent.log").string();
  const std::string inMissingDir = (dir / "no" / "Test.log").string();
  for (const char* path : {missing.c_str(), inMissingDir.c_str(), "\\\\.\\E:",
                           "\\\\?\\usb#vid_1723&pid_0903#5&1&0&1#{guid}\\PIPE00", ""}) {
    EXPECT_EQ(sim.CreateFileA(path, kGenericRead, kFileShareRead, kOpenExisting), kInvalidHandle)
        << path;
  }
  EXPECT_EQ(sim.CreateFileA(inMissingDir.c_str(), kGenericWrite, 0, kCreateAlways), kInvalidHandle);
  EXPECT_EQ(sim.CreateFileA(nullptr, kGenericRead, 0, kOpenExisting), kInvalidHandle);
  std::uint32_t done = 7;
  EXPECT_FALSE(sim.WriteFile(0x5555, "x", 1, &done));
  EXPECT_EQ(done, 0u);
}

// Folders and names answer as Windows does: a move or a link never takes a name that is there
// (unless the move is told to replace), a folder is never deleted as a file, and each refusal
// leaves Windows' code.
TEST_F(SimFilesTest, FoldersAndNamesAnswerAsWindowsDoes) {
  ASSERT_TRUE(WriteAll("old\r\n"));
  const std::string folder = (dir / "Records").string();
  const std::string moved = (dir / "moved.log").string();
  const std::string linked = (dir / "linked.log").string();
  const std::string missing = (dir / "absent").string();
  auto text = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  auto refused = [&](bool ok) { return ok ? ~0u : sim.GetLastError(); };
  const auto taken = static_cast<std::uint32_t>(kErrorAlreadyExists);
  const auto notFound = static_cast<std::uint32_t>(kErrorFileNotFound);

  EXPECT_EQ(sim.GetFileAttributesA(folder.c_str()), kInvalidFileAttributes);
  EXPECT_TRUE(sim.CreateDirectoryA(folder.c_str()));
  EXPECT_NE(sim.GetFileAttributesA(folder.c_str()) & kFileAttributeDirectory, 0u);
  EXPECT_EQ(refused(sim.CreateDirectoryA(folder.c_str())), taken);
  EXPECT_EQ(refused(sim.CreateDirectoryA(log.c_str())), taken) << "a file has the name";
  EXPECT_EQ(sim.GetFileAttributesA(log.c_str()) & kFileAttributeDirectory, 0u);

  EXPECT_TRUE(sim.CreateHardLinkA(linked.c_str(), log.c_str()));
  EXPECT_EQ(text(linked), "old\r\n");
  EXPECT_EQ(refused(sim.CreateHardLinkA(linked.c_str(), log.c_str())), taken);

  std::ofstream(moved, std::ios::binary) << "new";
  EXPECT_EQ(refused(sim.MoveFileExA(moved.c_str(), log.c_str(), 0)), taken);
  EXPECT_EQ(text(log), "old\r\n") << "nothing replaced";
  EXPECT_EQ(refused(sim.MoveFileExA(moved.c_str(), folder.c_str(), kMovefileReplaceExisting)),
            taken)
      << "a folder is never replaced";
  EXPECT_TRUE(sim.MoveFileExA(moved.c_str(), log.c_str(), kMovefileReplaceExisting));
  EXPECT_EQ(text(log), "new");
  EXPECT_EQ(sim.GetFileAttributesA(moved.c_str()), kInvalidFileAttributes);
  EXPECT_EQ(refused(sim.MoveFileExA(missing.c_str(), moved.c_str(), 0)), notFound);

  EXPECT_NE(refused(sim.DeleteFileA(folder.c_str())), ~0u);
  EXPECT_NE(sim.GetFileAttributesA(folder.c_str()), kInvalidFileAttributes);
  EXPECT_TRUE(sim.DeleteFileA(linked.c_str()));
  EXPECT_EQ(refused(sim.DeleteFileA(linked.c_str())), notFound);
  EXPECT_EQ(sim.ErrorText(taken), "Cannot create a file when that file already exists.");
}

// A loopback pipe: what is written is read back; control 1 answers one byte 0x5A.
class LoopbackFile : public platform::sim::SimFile {
 public:
  explicit LoopbackFile(int* closes) : closes_(closes) {}
  bool Read(std::span<std::uint8_t> buffer, std::uint32_t* done) override {
    *done = static_cast<std::uint32_t>(
        data_.copy(reinterpret_cast<char*>(buffer.data()), buffer.size()));
    data_.erase(0, *done);
    return true;
  }
  bool Write(std::span<const std::uint8_t> data, std::uint32_t* done) override {
    data_.append(data.begin(), data.end());
    *done = static_cast<std::uint32_t>(data.size());
    return true;
  }
  bool DeviceIoControl(std::uint32_t code, std::span<const std::uint8_t>,
                       std::span<std::uint8_t> output, std::uint32_t* returned) override {
    if (code != 1 || output.empty()) return false;
    output[0] = 0x5A;
    *returned = 1;
    return true;
  }
  void Close() override { ++*closes_; }

 private:
  std::string data_;
  int* closes_;
};

// Opens PIPE00 of any usb# path and refuses every other pipe.
struct PipeProvider : platform::sim::DeviceFileProvider {
  platform::sim::DeviceOpen Open(std::string_view path, std::uint32_t, std::uint32_t,
                                 std::uint32_t) override {
    if (!path.starts_with("\\\\?\\usb#")) return {};
    if (!path.ends_with("\\PIPE00")) return {true, nullptr};
    return {true, std::make_unique<LoopbackFile>(&closes)};
  }
  int closes = 0;
};

// Both the bus and the bench tell a pipe by its ending alone, in any case, and only pipes 0 and 1.
TEST(SimPipePaths, OnlyPipe0And1SplitOffTheirInterfacePath) {
  struct Case {
    const char* path;
    const char* interfacePath;  // nullptr: not a pipe
    int pipe;
  };
  for (const Case& c : {Case{"\\\\?\\usb#x\\PIPE00", "\\\\?\\usb#x", 0},
                        Case{"\\\\?\\usb#x\\pIpE01", "\\\\?\\usb#x", 1}, Case{"\\PIPE01", "", 1},
                        Case{"PIPE01", nullptr, 0}, Case{"\\\\?\\usb#x\\PIPE02", nullptr, 0},
                        Case{"\\\\?\\usb#x\\PIPE10", nullptr, 0},
                        Case{"\\\\?\\usb#x/PIPE00", nullptr, 0}, Case{"\\\\.\\E:", nullptr, 0}}) {
    SCOPED_TRACE(c.path);
    const auto split = platform::sim::SplitPipePath(c.path);
    ASSERT_EQ(split.has_value(), c.interfacePath != nullptr);
    if (!split) continue;
    EXPECT_EQ(split->interfacePath, c.interfacePath);
    EXPECT_EQ(split->pipe, c.pipe);
  }
}

TEST_F(SimFilesTest, DevicePathsRouteToTheirProvider) {
  auto provider = std::make_shared<PipeProvider>();
  sim.AddDeviceFileProvider(provider);
  const Handle pipe = sim.CreateFileA("\\\\?\\usb#vid_1723&pid_0903#x\\PIPE00",
                                      kGenericRead | kGenericWrite, 0, kOpenExisting);
  ASSERT_NE(pipe, kInvalidHandle);
  // Matched but refused by its provider: no fall-through to the host's files.
  EXPECT_EQ(
      sim.CreateFileA("\\\\?\\usb#vid_1723&pid_0903#x\\PIPE07", kGenericRead, 0, kOpenExisting),
      kInvalidHandle);

  std::uint32_t done = 0;
  ASSERT_TRUE(sim.WriteFile(pipe, "AT+R01", 6, &done));
  char reply[4];
  ASSERT_TRUE(sim.ReadFile(pipe, reply, sizeof reply, &done));
  EXPECT_EQ(std::string(reply, done), "AT+R");

  std::uint8_t out[8] = {};
  std::uint32_t returned = 0;
  ASSERT_TRUE(sim.DeviceIoControl(pipe, 1, nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ(returned, 1u);
  EXPECT_EQ(out[0], 0x5A);

  EXPECT_TRUE(sim.CloseHandle(pipe));
  EXPECT_EQ(provider->closes, 1);
  EXPECT_FALSE(sim.CloseHandle(pipe));
  EXPECT_EQ(provider->closes, 1);
}

// --- The installed backend -----------------------------------------------------------------------

TEST(SimPlatformInstall, ThePlatformIsTheInstalledBackendAndAbortsWithoutOne) {
  SimPlatform sim(Bare());
  SetPlatform(&sim);
  EXPECT_EQ(&ThePlatform(), &sim);
  SetPlatform(nullptr);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ThePlatform(), "no platform backend");
}

}  // namespace
