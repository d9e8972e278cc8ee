// veltrane-discovery-bench: times discovery on generated benches of 16, 64, 256 and 1,024 hubs
// with four USB devices each: the start-up discovery (ScanUsbDevices, then BuildDeviceList), a
// rescan with nothing changed, and the rebuild after one unit leaves and another arrives. Prints
// the times and how they grow. A measuring tool, not a test: the figures belong to the machine
// that runs it (build it in Release).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/Device.h"
#include "device/Discovery.h"
#include "device/PortTree.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimUsbBench.h"
#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/BenchPipes.h"
#include "platform/sim/bench/SimBench.h"
#include "report/TestLog.h"
#include "ui/Controls.h"

namespace {

constexpr int kRootPorts = 15;
// The best of seven start-ups, and of 35 rescans and rebuilds, is reported: a loaded machine
// preempts some.
constexpr int kRepeats = 7;
constexpr int kInnerRepeats = 5;

// `boxes` hubs on root hubs of 15 ports; in each, an autoloader and three more devices: even
// boxes a TM36K with its printer and two input devices, odd ones a ZP61 and three. One more
// ZP61, missing at the start, waits on the last root hub's last port: the unit that arrives.
std::string GeneratedBench(int boxes) {
  std::string hubs;
  const int roots = (boxes + kRootPorts) / kRootPorts;  // a free port on the last one
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
  units += ",{\"model\": \"ZP61\", \"serial\": \"ARRIVING\", \"present\": false, \"hub\": \"r" +
           std::to_string(roots - 1) + "\", \"port\": 15}";
  hubs.pop_back();
  return "{\"hubs\": [" + hubs + "], \"units\": [" + units + "], \"devices\": [" + devices + "]}";
}

struct Timing {
  double setUp = 0;    // ms: the simulated world made from the bench (pipes, bus, registry)
  double startUp = 0;  // ms: the first scan and build
  double rescan = 0;   // ms: a device arrival that brings nothing new
  double rebuild = 0;  // ms: one unit left and another arrived
  std::size_t entries = 0;
  int nodes = 0;
};

double Milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// What the main window does at start-up and at each device arrival.
void Discover(ui::Form& window, DiscoveryState& discovery) {
  ScanUsbDevices(ui::WindowHandle(window));
  BuildDeviceList(discovery);
}

// What the main window does at a removal, as far as this bench needs it: the port tree drops
// what left, and an entry whose links and claims have all gone leaves the list (the generated
// units that leave have no claims).
void Depart() {
  DropDepartedPorts();
  std::erase_if(DeviceList, [](const std::unique_ptr<DeviceEntry>& entry) {
    return entry->Link1Flag.load() == kFlagDeparted && entry->Claim1Flag.load() == kFlagClosed &&
           entry->Link2Flag.load() == kFlagClosed && entry->Claim2Flag.load() == kFlagClosed;
  });
}

Timing TimeOnce(const std::string& text, const std::string& name, int boxes) {
  platform::sim::SimOptions options;
  options.hostFacts = false;
  platform::sim::SimPlatform sim(options);
  platform::SetPlatform(&sim);
  auto bench = std::make_shared<platform::sim::SimBench>(platform::sim::ParseBench(text, name),
                                                         platform::sim::BenchClock(sim));
  Timing t;
  const auto made = std::chrono::steady_clock::now();
  platform::sim::AttachBench(sim, bench);
  platform::sim::AttachBenchUsb(sim, bench);
  t.setUp = Milliseconds(std::chrono::steady_clock::now() - made);
  CreateLogLines();
  ui::Form window("Form1", 100, 100);
  DiscoveryState discovery;  // the window's, as the main window keeps it
  const auto start = std::chrono::steady_clock::now();
  Discover(window, discovery);
  t.startUp = Milliseconds(std::chrono::steady_clock::now() - start);
  t.entries = DeviceList.size();
  t.nodes = HubNodeCount();
  // Rescans and rebuilds leave the bench as they found it, so each is timed a few times.
  t.rescan = t.rebuild = 1e9;
  for (int i = 0; i < kInnerRepeats; ++i) {
    const auto before = std::chrono::steady_clock::now();
    Discover(window, discovery);
    t.rescan = std::min(t.rescan, Milliseconds(std::chrono::steady_clock::now() - before));
  }
  // A ZP61 in the middle and the waiting one take turns: one leaves, the other arrives, and the
  // window hears of both.
  int staying = boxes / 2 | 1;
  int waiting = boxes;
  for (int i = 0; i < kInnerRepeats; ++i) {
    bench->UnplugUnit(staying);
    bench->Plug(bench->LinkDevice(waiting, 1));
    std::swap(staying, waiting);
    const auto before = std::chrono::steady_clock::now();
    Depart();
    Discover(window, discovery);
    t.rebuild = std::min(t.rebuild, Milliseconds(std::chrono::steady_clock::now() - before));
  }
  if (DeviceList.size() != t.entries) {
    std::fprintf(stderr, "the rebuild listed %lu entries, not %lu\n",
                 static_cast<unsigned long>(DeviceList.size()),
                 static_cast<unsigned long>(t.entries));
  }
  CloseAllDevices();
  SelectedDevice = nullptr;
  DeviceList.clear();
  ReleaseLogLines();
  platform::SetPlatform(nullptr);
  return t;
}

void KeepBest(Timing& best, const Timing& t) {
  best.setUp = std::min(best.setUp, t.setUp);
  best.startUp = std::min(best.startUp, t.startUp);
  best.rescan = std::min(best.rescan, t.rescan);
  best.rebuild = std::min(best.rebuild, t.rebuild);
  best.entries = t.entries;
  best.nodes = t.nodes;
}

std::string Ratio(double now, double before) {
  if (before <= 0) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.2f", now / before);
  return text;
}

}  // namespace

// With arguments, only those hub counts (for a profiler's run of one size).
int main(int argc, char** argv) {
  std::vector<int> sizes{16, 64, 256, 1024};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) {
      char* end = nullptr;
      const long boxes = std::strtol(argv[i], &end, 10);
      if (end == argv[i] || *end != '\0' || boxes < 1 || boxes > 4096) {
        std::fprintf(stderr, "usage: veltrane-discovery-bench [HUBS ...] (1 to 4096 each)\n");
        return 2;
      }
      sizes.push_back(static_cast<int>(boxes));
    }
  }
  std::printf("%6s %8s %8s %8s %10s %6s %12s %6s %10s %6s %11s %6s\n", "hubs", "devices", "nodes",
              "entries", "set-up ms", "ratio", "start-up ms", "ratio", "rescan ms", "ratio",
              "rebuild ms", "ratio");
  // The sizes take turns, round after round, so that a busy spell of the machine falls on all
  // of them alike instead of on whichever size it happened to meet: the ratios compare sizes
  // measured under the same conditions.
  std::vector<std::string> texts;
  std::vector<Timing> best(sizes.size());
  texts.reserve(sizes.size());
  for (int boxes : sizes) texts.push_back(GeneratedBench(boxes));
  for (int round = 0; round < kRepeats; ++round) {
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      const Timing t = TimeOnce(texts[i], "generated-" + std::to_string(sizes[i]), sizes[i]);
      if (round == 0) {
        best[i] = t;
      } else {
        KeepBest(best[i], t);
      }
    }
  }
  Timing previous;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const int boxes = sizes[i];
    const Timing& t = best[i];
    std::printf("%6d %8d %8d %8lu %10.3f %6s %12.3f %6s %10.3f %6s %11.3f %6s\n", boxes, boxes * 4,
                t.nodes, static_cast<unsigned long>(t.entries), t.setUp,
                Ratio(t.setUp, previous.setUp).c_str(), t.startUp,
                Ratio(t.startUp, previous.startUp).c_str(), t.rescan,
                Ratio(t.rescan, previous.rescan).c_str(), t.rebuild,
                Ratio(t.rebuild, previous.rebuild).c_str());
    previous = t;
  }
  std::printf(
      "(best of %d start-ups and of %d rescans and rebuilds, the sizes taking turns; the hub\n"
      " counts leave out the root hubs; each size is four times the last, so a ratio near 4 is\n"
      " linear growth and near 16 quadratic; a rebuild is one unit's removal and another's\n"
      " arrival as the window sees them; set-up is the simulated world made from the bench)\n",
      kRepeats, kRepeats * kInnerRepeats);
  return 0;
}
