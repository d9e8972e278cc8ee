// Benches with drawn faults, as the soak uses them: every draw is a bench the loader takes, a seed
// draws the same bench every time, and a few soak iterations on such benches run every demo unit
// to a clean end with every disc still on the bench.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/SoakRun.h"
#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/DemoBench.h"
#include "platform/sim/bench/RandomFaults.h"
#include "sequences/StateMap.h"

namespace {

class RandomFaults : public ::testing::Test {
 protected:
  // One healthy demo session aims the faults of every test here.
  static void SetUpTestSuite() {
    const soak::ScratchFolder folder("random-faults");
    std::string failed;
    targets_ = soak::HealthyTargets(soak::DemoSerials(), failed);
    ASSERT_FALSE(targets_.empty()) << "the healthy run of " << failed;
  }

  static std::string Draw(std::uint64_t seed, std::uint64_t iteration) {
    return platform::sim::RandomFaultBench(platform::sim::DemoBenchText(), targets_,
                                           platform::sim::IterationSeed(seed, iteration));
  }

  static inline std::vector<platform::sim::FaultTargets> targets_;
};

TEST_F(RandomFaults, EveryDrawIsABenchTheLoaderTakes) {
  for (std::uint64_t i = 1; i <= 300; ++i) {
    const std::string text = Draw(11, i);
    EXPECT_NO_THROW(platform::sim::ParseBench(text, "draw")) << "iteration " << i << ":\n" << text;
    if (HasFailure()) break;
  }
}

TEST_F(RandomFaults, ASeedDrawsTheSameBenchEveryTimeAndIterationsDiffer) {
  EXPECT_EQ(Draw(3, 7), Draw(3, 7));
  EXPECT_NE(Draw(3, 7), Draw(3, 8));
  EXPECT_NE(Draw(3, 7), Draw(4, 7));
  EXPECT_NE(platform::sim::IterationSeed(3, 7), platform::sim::IterationSeed(7, 3));
}

// A few iterations of the soak: the faults strike during the runs (each unit is still listed
// at its turn), every run ends and is handled, and no disc is made or lost.
TEST_F(RandomFaults, SoakIterationsRunEveryUnitToACleanEnd) {
  const soak::ScratchFolder folder("random-faults");
  const auto serials = soak::DemoSerials();
  soak::Tally tally;
  for (std::uint64_t i = 1; i <= 3; ++i) {
    const std::uint64_t seed = platform::sim::IterationSeed(1, i);
    const std::string bench =
        platform::sim::RandomFaultBench(platform::sim::DemoBenchText(), targets_, seed);
    EXPECT_EQ(soak::RunIteration(bench, serials, ~seed, tally), std::vector<std::string>{})
        << "iteration " << i;
  }
  EXPECT_EQ(tally.notListed, 0);
  EXPECT_EQ(tally.runs, static_cast<int>(3 * serials.size()));
}

// A slice of the parallel soak, on draws where units leave during their runs and parts arrive
// or leave at bench times: every unit alone, then all at once on two sessions; each run at once
// ends as it did alone (a unit's timed event strikes its run at the same moment of its own time
// line, however far the other runs have gone), the unit that left reads "None", and the second
// session repeats the first byte for byte.
TEST_F(RandomFaults, ParallelSoakIterationsEndEachRunAsAloneAndTheSameEveryTime) {
  const soak::ScratchFolder folder("random-faults");
  const auto serials = soak::DemoSerials();
  soak::Tally alone;
  soak::Tally atOnce;
  for (const std::uint64_t i : {8, 9}) {
    const std::string bench = Draw(1, i);
    EXPECT_EQ(soak::RunParallelIteration(bench, serials, ~platform::sim::IterationSeed(1, i), alone,
                                         atOnce),
              std::vector<std::string>{})
        << "iteration " << i;
  }
  EXPECT_EQ(atOnce.runs, static_cast<int>(2 * serials.size()));
  EXPECT_GT(atOnce.results["None"], 0) << "no unit left during its run: the slice misses that";
}

}  // namespace
