// What the fuzz targets share: reading the fuzzer's bytes front to back, the check that turns a
// broken promise into a crash libFuzzer reports, and (platform/NullPlatform.h) the platform that
// refuses everything but its clock. Each target owns its own state; nothing here is global.
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

#include "platform/NullPlatform.h"

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

}  // namespace fuzz
