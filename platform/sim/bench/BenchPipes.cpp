// Bench pipes behind CreateFileA, ReadFile and WriteFile.
#include "platform/sim/bench/BenchPipes.h"

#include <algorithm>
#include <atomic>
#include <optional>

#include "platform/sim/SimIds.h"
#include "platform/sim/bench/BenchTopology.h"

namespace platform::sim {
namespace {

// One end of a link: PIPE00 reads the unit's replies, PIPE01 takes its command blocks.
class BenchPipeFile : public SimFile {
 public:
  BenchPipeFile(std::shared_ptr<SimBench> bench, PipeRef pipe, bool readPipe)
      : bench_(std::move(bench)), pipe_(pipe), readPipe_(readPipe) {}

  bool Read(std::span<std::uint8_t> buffer, std::uint32_t* done) override {
    *done = 0;
    return readPipe_ && !closed_ && bench_->ReadPipe(pipe_, buffer, done);
  }

  bool ReadPending() override { return readPipe_ && !closed_ && bench_->ReadHangs(pipe_); }

  bool Write(std::span<const std::uint8_t> data, std::uint32_t* done) override {
    *done = 0;
    return !readPipe_ && !closed_ && bench_->WritePipe(pipe_, data, done);
  }

  void Close() override { closed_ = true; }

 private:
  const std::shared_ptr<SimBench> bench_;
  const PipeRef pipe_;
  const bool readPipe_;
  std::atomic<bool> closed_{false};
};

}  // namespace

std::string LinkInterfacePath(const SimBench& bench, int unit, int link) {
  const int device = bench.LinkDevice(unit, link);
  return device < 0 ? std::string() : InterfacePath(bench.Model(), device);
}

BenchPipeProvider::BenchPipeProvider(std::shared_ptr<SimBench> bench) : bench_(std::move(bench)) {
  const BenchModel& model = bench_->Model();
  const BenchIds ids(model);
  for (std::size_t d = 0; d < model.devices.size(); ++d) {
    if (model.devices[d].kind == DeviceKind::kAutoloader) {
      devices_[AsciiLower(ids.InterfacePath(static_cast<int>(d)))] = static_cast<int>(d);
    }
  }
}

int BenchPipeProvider::DeviceOf(std::string_view path, bool* readPipe) const {
  // The ending first: most paths asked for (hubs, drives) are not pipes at all.
  const std::optional<PipePath> split = SplitPipePath(path);
  if (!split) return -1;
  *readPipe = split->pipe == 0;
  const auto it = devices_.find(AsciiLower(split->interfacePath));
  return it == devices_.end() ? -1 : it->second;
}

DeviceOpen BenchPipeProvider::Open(std::string_view path, std::uint32_t, std::uint32_t,
                                   std::uint32_t) {
  bool readPipe = false;
  const int device = DeviceOf(path, &readPipe);
  if (device < 0) return {};
  const auto pipe = bench_->OpenDevice(device);
  if (!pipe) return {true, nullptr};
  return {true, std::make_unique<BenchPipeFile>(bench_, *pipe, readPipe)};
}

void AttachBench(SimPlatform& platform, std::shared_ptr<SimBench> bench) {
  // Every wait of the platform's clock reaches the bench's timed events at their time, whether
  // or not anything talks to the bench meanwhile.
  SimClock::TimeSource source;
  source.nextMs = [weak = std::weak_ptr<SimBench>(bench)](std::uint64_t) {
    std::optional<std::uint64_t> next;
    if (auto b = weak.lock()) {
      if (const auto ms = b->NextEventMs())
        next = static_cast<std::uint64_t>(std::max<std::int64_t>(0, *ms));
    }
    return next;
  };
  source.reach = [weak = std::weak_ptr<SimBench>(bench)] {
    if (auto b = weak.lock()) b->Poll();
  };
  platform.Clock().SetTimeSource(std::move(source));
  platform.AddDeviceFileProvider(std::make_shared<BenchPipeProvider>(std::move(bench)));
}

SimBench::Clock BenchClock(SimPlatform& platform) {
  SimClock* clock = &platform.Clock();
  return [clock] { return static_cast<std::int64_t>(clock->NowMs()); };
}

}  // namespace platform::sim
