// Random faults for soaks: a bench file's units get a drawn disc supply, drawn drive trays and a
// few faults their model can suffer, aimed at the commands a healthy run of each exchanges. The
// draw owns nothing and is reproducible: the same seed gives the same bench on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::sim {

// What the draw aims at for one unit, from a healthy run of it.
struct FaultTargets {
  // As SimBench::CommandLog writes them: those the unit answered before the run (discovery's),
  // and the run's.
  std::vector<std::string> beforeRun;
  std::vector<std::string> runCommands;
  // Bench milliseconds: when a run pressed right after program start begins (discovery's end),
  // and when each of the run's commands came, counted from that start. Timed events aim at them.
  std::int64_t runStartMs = 0;
  std::vector<std::int64_t> runTimesMs;
};

// The seed of one iteration of a soak (SplitMix64 of both): iterations are independent draws, and
// any one of them can be drawn again alone.
std::uint64_t IterationSeed(std::uint64_t seed, std::uint64_t iteration);

// The bench text `benchJson` with every unit's "discs", its drives' "disc" and "tray" and its
// "faults" replaced by a draw from `seed`. targets[u] aims unit u's faults; a unit without
// targets gets none. Events and conditions that start during a run are triggered by command
// counts past discovery's or at bench times inside a run begun at program start, so every unit
// is still listed when its turn comes. Events: discs added, a part or the unit leaving (and
// maybe coming back), a part missing at the start and arriving during the run. Throws
// nlohmann::json's exceptions when benchJson is not a bench's JSON.
std::string RandomFaultBench(const std::string& benchJson, const std::vector<FaultTargets>& targets,
                             std::uint64_t seed);

}  // namespace platform::sim
