// The bench's command links as device files of the sim platform: CreateFileA on a link's
// interface path + "\PIPE00" (read) or "\PIPE01" (write) opens its pipe. The provider shares
// ownership of the bench, so open pipes stay safe while the platform holds them.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "platform/sim/SimFile.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/bench/SimBench.h"

namespace platform::sim {

// The interface path the later discovery finds for a unit's link 1 or 2 (empty if none).
std::string LinkInterfacePath(const SimBench& bench, int unit, int link);

class BenchPipeProvider : public DeviceFileProvider {
 public:
  explicit BenchPipeProvider(std::shared_ptr<SimBench> bench);

  // Owns paths of the form "<interface path of a link>\PIPE00" or "\PIPE01", any case; the
  // file is null (CreateFileA fails) while the link's device is unplugged.
  DeviceOpen Open(std::string_view path, std::uint32_t access, std::uint32_t share,
                  std::uint32_t creation) override;

 private:
  // The autoloader device behind a pipe path and whether it is the read pipe; -1 if none.
  int DeviceOf(std::string_view path, bool* readPipe) const;

  std::shared_ptr<SimBench> bench_;
  std::unordered_map<std::string, int> devices_;  // lower-case interface path -> device index
};

// Registers the bench's pipes with the platform and lets the bench read the platform's clock.
// The bench must have been made with a clock that reads platform.Clock() (see BenchClock).
void AttachBench(SimPlatform& platform, std::shared_ptr<SimBench> bench);
// The bench time source for a platform: its clock's milliseconds.
SimBench::Clock BenchClock(SimPlatform& platform);

}  // namespace platform::sim
