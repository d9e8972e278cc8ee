// The built-in demo bench; its bytes come from the build (Bench.cmake).
#include "platform/sim/bench/DemoBench.h"

#include <cstddef>

#include "platform/sim/bench/BenchLoader.h"

namespace platform::sim {

extern const char kDemoBenchText[];
extern const std::size_t kDemoBenchTextSize;

std::string DemoBenchText() {
  return std::string(kDemoBenchText, kDemoBenchTextSize);
}

BenchModel DemoBench() {
  return ParseBench(DemoBenchText(), "demo");
}

}  // namespace platform::sim
