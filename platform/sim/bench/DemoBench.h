// The built-in demo bench: one healthy unit of each model, compiled in from benches/demo.json.
#pragma once

#include <string>

#include "platform/sim/bench/BenchModel.h"

namespace platform::sim {

// The text of benches/demo.json as it was at build time.
std::string DemoBenchText();
// The demo bench, parsed (source name "demo").
BenchModel DemoBench();

}  // namespace platform::sim
