// Reading a bench file (JSON) into a BenchModel. Owns nothing; every check of the file's content
// lives here, so a bad file fails at load time with the file, the field and the reason.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "platform/sim/bench/BenchModel.h"

namespace platform::sim {

// A bench file that cannot be used. what() reads "<file>: <field path>: <reason>", e.g.
// "lab.json: units[1].faults[0].command: "AT+X" is not a command".
class BenchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The most a bench file may hold: the largest real bench is a few kilobytes, and a larger file
// (a device, a wrong path) is refused before it is read whole.
inline constexpr std::size_t kMaxBenchBytes = std::size_t{16} << 20;
// USB chains at most five hubs below a root hub (seven tiers, the devices on the last).
inline constexpr int kMaxHubsBelowRoot = 5;

// Parses bench text; `source` names it in messages. Throws BenchError.
BenchModel ParseBench(const std::string& text, const std::string& source);
// Reads and parses a file. Throws BenchError (also when the file cannot be read).
BenchModel LoadBenchFile(const std::string& path);

}  // namespace platform::sim
