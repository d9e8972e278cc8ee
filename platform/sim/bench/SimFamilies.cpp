// Each family's simulated unit, by the model catalogue's family: one row per family, checked
// against the catalogue as it builds. A family's unit lives in a header of its own.
#include "platform/sim/bench/SimHv22.h"
#include "platform/sim/bench/SimLq40.h"
#include "platform/sim/bench/SimTm36.h"
#include "platform/sim/bench/SimUnit.h"
#include "platform/sim/bench/SimZp.h"

namespace platform::sim {
namespace {

using units::Hv22Unit;
using units::Lq40Unit;
using units::Tm36Unit;
using units::ZpUnit;

// The simulated unit of each family of the catalogue, by its family.
struct SimFamily {
  models::WorkerClass family;
  SimUnit* (*make)(const BenchModel&, int, const std::vector<SimDrive*>&, const SimUnit::Clock&);
};

template <class Unit>
SimUnit* MakeUnit(const BenchModel& bench, int index, const std::vector<SimDrive*>& drives,
                  const SimUnit::Clock& now) {
  return new Unit(bench, index, drives, now);
}

constexpr SimFamily kSimFamilies[] = {
    {models::WorkerClass::kTM36K, MakeUnit<Tm36Unit>},
    {models::WorkerClass::kTM36P, MakeUnit<Tm36Unit>},
    {models::WorkerClass::kHV, MakeUnit<Hv22Unit>},
    {models::WorkerClass::kLQ40, MakeUnit<Lq40Unit>},
    {models::WorkerClass::kZP, MakeUnit<ZpUnit>},
};
static_assert(models::CoversFamilies(kSimFamilies), "one simulated unit for each family");

}  // namespace

std::unique_ptr<SimUnit> SimUnit::Make(const BenchModel& bench, int index,
                                       const std::vector<SimDrive*>& drives, const Clock& now) {
  const models::WorkerClass family = bench.units.at(index).model->worker;
  for (const SimFamily& row : kSimFamilies) {
    if (row.family == family) return std::unique_ptr<SimUnit>(row.make(bench, index, drives, now));
  }
  return nullptr;
}

}  // namespace platform::sim
