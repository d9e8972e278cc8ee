// "Nothing there": a platform whose registry, files and pipes refuse every call, whose events are
// never signalled and whose clock moves on by itself. Tests and fuzz targets derive from it and
// override only the calls their story is about. Header-only; each user owns its instance.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "platform/Platform.h"

namespace platform {

class NullPlatform : public Platform {
 public:
  // 10 November 2016 from 09:00:00.00, one hundredth on at every reading, so that the command
  // link's paced reads end. Any thread.
  LocalTime GetLocalTime() override {
    const std::int64_t t = ticks_.fetch_add(1);
    const std::int64_t seconds = t / 100;
    return {2016,
            11,
            10,
            static_cast<int>(9 + seconds / 3600 % 12),
            static_cast<int>(seconds / 60 % 60),
            static_cast<int>(seconds % 60),
            static_cast<int>(t % 100)};
  }
  // The same clock in milliseconds from 09:00:00.00 (ten per reading, the readings counted with
  // the local time's), so that its hundredths and seconds turn over with the local time's.
  std::uint64_t MonotonicMs() override {
    return static_cast<std::uint64_t>(ticks_.fetch_add(1)) * 10;
  }
  // The clock moves on to the moment's hundredth and one reading more (the one that sees it
  // reached); the milliseconds it moved count as waited.
  void PauseUntil(Handle, std::uint64_t untilMs) override {
    const std::int64_t until = static_cast<std::int64_t>((untilMs + 9) / 10);
    std::int64_t now = ticks_.load();
    while (!ticks_.compare_exchange_weak(now, (now > until ? now : until) + 1)) {
    }
    if (until > now) waitedMs_.fetch_add(static_cast<std::uint64_t>(until - now) * 10);
  }
  // Every wait times out at once; only its milliseconds are counted.
  Handle CreateEventA(bool, bool) override { return 1; }
  std::uint32_t WaitForSingleObject(Handle, std::uint32_t timeoutMs) override {
    waitedMs_.fetch_add(timeoutMs);
    return kWaitTimeout;
  }
  bool CloseHandle(Handle) override { return true; }
  long RegOpenKeyExA(const char*, Handle*) override { return kErrorFileNotFound; }
  long RegQueryValueExA(Handle, const char*, std::uint32_t*, std::uint8_t*,
                        std::uint32_t*) override {
    return kErrorFileNotFound;
  }
  long RegEnumKeyA(Handle, std::uint32_t, char*, std::uint32_t) override {
    return kErrorNoMoreItems;
  }
  long RegCloseKey(Handle) override { return kErrorSuccess; }
  MemoryStatus GlobalMemoryStatus() override { return {}; }
  Handle CreateFileA(const char*, std::uint32_t, std::uint32_t, std::uint32_t) override {
    return kInvalidHandle;
  }
  bool ReadFile(Handle, void*, std::uint32_t, std::uint32_t* done) override {
    *done = 0;
    return false;
  }
  bool WriteFile(Handle, const void*, std::uint32_t, std::uint32_t* done) override {
    *done = 0;
    return false;
  }
  std::span<const std::uint8_t> LoadItemResource(const char*) override { return {}; }

  // Clock readings so far (hundredths of the clock) and milliseconds waited.
  std::int64_t Ticks() const { return ticks_.load(); }
  std::uint64_t WaitedMs() const { return waitedMs_.load(); }
  void Restart() {
    ticks_ = 0;
    waitedMs_ = 0;
  }

 private:
  std::atomic<std::int64_t> ticks_{0};
  std::atomic<std::uint64_t> waitedMs_{0};
};

}  // namespace platform
