// Fuzz target: the bench file loader. Any text either loads or is refused with a BenchError whose
// message names the file; anything else thrown, or a crash, is a finding. A bench that loads is
// then built as the programs build it (a sim platform, its USB bus, registry and pipes), which
// must not fail either.
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimUsbBench.h"
#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/BenchPipes.h"
#include "platform/sim/bench/SimBench.h"

namespace {

constexpr const char* kSource = "fuzz.json";

void BuildBench(platform::sim::BenchModel model) {
  platform::sim::SimOptions options;
  options.hostFacts = false;
  platform::sim::SimPlatform sim(options);
  auto bench =
      std::make_shared<platform::sim::SimBench>(std::move(model), platform::sim::BenchClock(sim));
  platform::sim::AttachBench(sim, bench);
  platform::sim::AttachBenchUsb(sim, bench);
  fuzz::Check(bench->TotalDiscs() == bench->DiscsSupplied(), "a new bench holds what it was given");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  platform::sim::BenchModel model;
  try {
    model = platform::sim::ParseBench(text, kSource);
  } catch (const platform::sim::BenchError& error) {
    const std::string what = error.what();
    fuzz::Check(what.rfind(std::string(kSource) + ": ", 0) == 0, "a refusal names the file");
    return 0;
  }
  BuildBench(std::move(model));
  return 0;
}
