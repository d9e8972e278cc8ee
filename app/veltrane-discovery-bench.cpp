// veltrane-discovery-bench: times discovery (ScanUsbDevices, then BuildDeviceList) on generated
// benches of 16, 64 and 256 hubs with four USB devices each, and prints the times and how they
// grow. A measuring tool, not a test: the figures belong to the machine that runs it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "console/TestLog.h"
#include "device/Device.h"
#include "device/Discovery.h"
#include "device/PortTree.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimUsbBench.h"
#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/BenchPipes.h"
#include "ui/Controls.h"

namespace {

constexpr int kRootPorts = 15;
constexpr int kRepeats = 3;  // the best of three runs is reported

// `boxes` hubs on root hubs of 15 ports; in each, an autoloader and three more devices: even
// boxes a TM36K with its printer and two input devices, odd ones a ZP61 and three.
std::string GeneratedBench(int boxes) {
  std::string hubs;
  const int roots = (boxes + kRootPorts - 1) / kRootPorts;
  for (int r = 0; r < roots; ++r) {
    hubs += "{\"id\": \"r" + std::to_string(r) + "\", \"ports\": 15},";
  }
  std::string units;
  std::string devices;
  for (int i = 0; i < boxes; ++i) {
    const std::string box = std::string("b").append(std::to_string(i));
    hubs += "{\"id\": \"" + box + "\", \"parent\": \"r" + std::to_string(i / kRootPorts) +
            "\", \"port\": " + std::to_string(i % kRootPorts + 1) + "},";
    const bool tm36 = i % 2 == 0;
    units +=
        std::string(units.empty() ? "" : ",") + "{\"model\": \"" + (tm36 ? "TM36K" : "ZP61") +
        "\", \"serial\": \"U" + std::to_string(i) + "\", \"hub\": \"" + box + "\", \"port\": 1" +
        (tm36 ? ", \"printer\": {\"port\": 2, \"queue\": \"Q" + std::to_string(i) + "\"}" : "") +
        "}";
    for (int port = tm36 ? 3 : 2; port <= 4; ++port) {
      devices += std::string(devices.empty() ? "" : ",") + "{\"kind\": \"other\", \"hub\": \"" +
                 box + "\", \"port\": " + std::to_string(port) + ", \"serial\": \"O" +
                 std::to_string(i) + "-" + std::to_string(port) + "\"}";
    }
  }
  hubs.pop_back();
  return "{\"hubs\": [" + hubs + "], \"units\": [" + units + "], \"devices\": [" + devices + "]}";
}

struct Timing {
  double startUp = 0;  // ms: the first scan and build
  double rescan = 0;   // ms: a device arrival that brings nothing new
  std::size_t entries = 0;
  int nodes = 0;
};

double Milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void Discover(ui::Form& window) {
  ScanUsbDevices(window);
  SecondPass = false;
  ListChanged = false;
  BuildDeviceList();
}

Timing TimeOnce(const std::string& text, const std::string& name) {
  platform::sim::SimOptions options;
  options.hostFacts = false;
  platform::sim::SimPlatform sim(options);
  platform::SetPlatform(&sim);
  auto bench = std::make_shared<platform::sim::SimBench>(platform::sim::ParseBench(text, name),
                                                         platform::sim::BenchClock(sim));
  platform::sim::AttachBench(sim, bench);
  platform::sim::AttachBenchUsb(sim, bench);
  CreateLogLines();
  ui::Form window("Form1", 100, 100);
  Timing t;
  const auto start = std::chrono::steady_clock::now();
  Discover(window);
  const auto built = std::chrono::steady_clock::now();
  Discover(window);
  const auto again = std::chrono::steady_clock::now();
  t.startUp = Milliseconds(built - start);
  t.rescan = Milliseconds(again - built);
  t.entries = DeviceList.size();
  t.nodes = HubNodeCount();
  CloseAllDevices();
  SelectedDevice = nullptr;
  DeviceList.clear();
  ReleaseLogLines();
  platform::SetPlatform(nullptr);
  return t;
}

Timing Best(int boxes) {
  const std::string text = GeneratedBench(boxes);
  const std::string name = "generated-" + std::to_string(boxes);
  Timing best = TimeOnce(text, name);
  for (int i = 1; i < kRepeats; ++i) {
    const Timing t = TimeOnce(text, name);
    best.startUp = std::min(best.startUp, t.startUp);
    best.rescan = std::min(best.rescan, t.rescan);
  }
  return best;
}

}  // namespace

int main() {
  std::printf("%6s %8s %8s %8s %12s %8s %12s %8s\n", "hubs", "devices", "nodes", "entries",
              "start-up ms", "ratio", "rescan ms", "ratio");
  Timing previous;
  for (int boxes : {16, 64, 256}) {
    const Timing t = Best(boxes);
    const bool first = previous.entries == 0;
    std::printf("%6d %8d %8d %8lu %12.2f %8s %12.2f %8s\n", boxes, boxes * 4, t.nodes,
                static_cast<unsigned long>(t.entries), t.startUp,
                first ? "-" : std::to_string(t.startUp / previous.startUp).substr(0, 5).c_str(),
                t.rescan,
                first ? "-" : std::to_string(t.rescan / previous.rescan).substr(0, 5).c_str());
    previous = t;
  }
  std::printf(
      "(best of %d runs each; the hub counts leave out the root hubs; each size is four\n"
      " times the last, so a ratio near 4 is linear growth and near 16 quadratic)\n",
      kRepeats);
  return 0;
}
