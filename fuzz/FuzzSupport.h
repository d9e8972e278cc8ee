// What the fuzz targets share: reading the fuzzer's bytes front to back, a platform that refuses
// everything but its clock, and the check that turns a broken promise into a crash libFuzzer
// reports. Each target owns its own state; nothing here is global.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace fuzz {

// A broken promise: print what broke and abort, so libFuzzer keeps the input as a finding.
inline void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// The fuzzer's input, consumed from the front; past its end every read gives zeros.
class ByteStream {
 public:
  ByteStream(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

  bool Empty() const { return at_ >= bytes_.size(); }
  std::size_t Remaining() const { return bytes_.size() - std::min(at_, bytes_.size()); }
  std::uint8_t Byte() { return Empty() ? 0 : bytes_[at_++]; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
  // Up to n bytes (fewer at the end of the input).
  std::vector<std::uint8_t> Bytes(std::size_t n) {
    n = std::min(n, Remaining());
    std::vector<std::uint8_t> out(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                                  bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + n));
    at_ += n;
    return out;
  }
  // A length byte, then that many bytes (capped at max).
  std::vector<std::uint8_t> Counted(std::size_t max) {
    return Bytes(std::min<std::size_t>(Byte(), max));
  }
  std::string CountedText(std::size_t max) {
    const auto bytes = Counted(max);
    return std::string(bytes.begin(), bytes.end());
  }
  // Everything that is left.
  std::string Rest() {
    const auto bytes = Bytes(Remaining());
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// A platform with a clock that moves one hundredth on by every reading (so the command link's
// paced reads end) and waits that return at once; registry, files and pipes refuse.
class ClockPlatform : public platform::Platform {
 public:
  platform::LocalTime GetLocalTime() override {
    const std::int64_t t = ticks_++;
    const std::int64_t seconds = t / 100;
    return {2016,
            11,
            10,
            static_cast<int>(9 + seconds / 3600 % 12),
            static_cast<int>(seconds / 60 % 60),
            static_cast<int>(seconds % 60),
            static_cast<int>(t % 100)};
  }
  platform::Handle CreateEventA(bool, bool) override { return 1; }
  std::uint32_t WaitForSingleObject(platform::Handle, std::uint32_t timeoutMs) override {
    waitedMs_ += timeoutMs;
    return platform::kWaitTimeout;
  }
  bool CloseHandle(platform::Handle) override { return true; }
  long RegOpenKeyExA(const char*, platform::Handle*) override {
    return platform::kErrorFileNotFound;
  }
  long RegQueryValueExA(platform::Handle, const char*, std::uint32_t*, std::uint8_t*,
                        std::uint32_t*) override {
    return platform::kErrorFileNotFound;
  }
  long RegEnumKeyA(platform::Handle, std::uint32_t, char*, std::uint32_t) override {
    return platform::kErrorNoMoreItems;
  }
  long RegCloseKey(platform::Handle) override { return platform::kErrorSuccess; }
  platform::MemoryStatus GlobalMemoryStatus() override { return {}; }
  platform::Handle CreateFileA(const char*, std::uint32_t, std::uint32_t, std::uint32_t) override {
    return platform::kInvalidHandle;
  }
  bool ReadFile(platform::Handle, void*, std::uint32_t, std::uint32_t* done) override {
    *done = 0;
    return false;
  }
  bool WriteFile(platform::Handle, const void*, std::uint32_t, std::uint32_t* done) override {
    *done = 0;
    return false;
  }
  std::span<const std::uint8_t> LoadItemResource(const char*) override { return {}; }

  std::uint64_t WaitedMs() const { return waitedMs_; }
  void Restart() {
    ticks_ = 0;
    waitedMs_ = 0;
  }

 private:
  std::int64_t ticks_ = 0;
  std::uint64_t waitedMs_ = 0;
};

}  // namespace fuzz
