// The bench's topology as the sim's USB bus.
#include "platform/sim/SimUsbBench.h"

#include <vector>

#include "platform/sim/bench/BenchPipes.h"
#include "platform/sim/bench/BenchTopology.h"

namespace platform::sim {
namespace {

UsbDeviceKind KindOf(DeviceKind kind) {
  switch (kind) {
    case DeviceKind::kAutoloader:
      return UsbDeviceKind::kAutoloader;
    case DeviceKind::kPrinter:
      return UsbDeviceKind::kPrinter;
    case DeviceKind::kCdRom:
      return UsbDeviceKind::kCdRom;
    case DeviceKind::kDisk:
      return UsbDeviceKind::kDisk;
    case DeviceKind::kOther:
      break;
  }
  return UsbDeviceKind::kOther;
}

// Bench hub indices, parents before their children (the bench order where it allows). A pass
// places every hub whose parent is placed, so there are as many passes as the bench is deep.
std::vector<int> HubOrder(const BenchModel& bench, const BenchIds& ids) {
  std::vector<int> order;
  std::vector<bool> placed(bench.hubs.size(), false);
  while (order.size() < bench.hubs.size()) {
    const std::size_t before = order.size();
    for (std::size_t i = 0; i < bench.hubs.size(); ++i) {
      if (placed[i]) continue;
      const int parent = ids.Parent(static_cast<int>(i));
      if (parent >= 0 && !placed[static_cast<std::size_t>(parent)]) continue;
      placed[i] = true;
      order.push_back(static_cast<int>(i));
    }
    if (order.size() == before) break;  // a loop: the loader rejects such benches
  }
  return order;
}

std::vector<int> AddHubs(SimUsb& usb, const BenchModel& bench, const BenchIds& ids) {
  std::vector<int> busHub(bench.hubs.size(), -1);
  for (int i : HubOrder(bench, ids)) {
    const BenchHub& h = bench.hubs[static_cast<std::size_t>(i)];
    UsbHubSpec layout;
    const int parent = ids.Parent(i);
    layout.parent = parent >= 0 ? busHub[static_cast<std::size_t>(parent)] : -1;
    layout.parentPort = h.parentPort;
    layout.ports = h.ports;
    layout.usb30 = ids.BelowUsb3Root(i);
    layout.name = h.id;
    if (h.prefixMode == PrefixMode::kGiven) layout.prefix = h.prefix;
    layout.noPrefix = h.prefixMode == PrefixMode::kMissing;
    busHub[static_cast<std::size_t>(i)] = usb.AddHub(layout);
  }
  return busHub;
}

void AddDevices(SimUsb& usb, const BenchModel& bench, const BenchIds& ids,
                const std::vector<int>& busHub) {
  for (const BenchDevice& d : bench.devices) {
    UsbDeviceSpec layout;
    layout.kind = KindOf(d.kind);
    const int hub = ids.HubIndex(d.hub);
    layout.hub = hub >= 0 ? busHub[static_cast<std::size_t>(hub)] : 0;
    layout.port = d.port;
    layout.vid = d.vid;
    layout.pid = d.pid;
    const bool storage =
        layout.kind == UsbDeviceKind::kCdRom || layout.kind == UsbDeviceKind::kDisk;
    layout.bcdUsb = storage && ids.BelowUsb3Root(hub) ? 0x0300 : 0x0200;
    layout.serial = d.serial;
    layout.description = d.description;
    layout.hasQueue = d.hasQueue;
    layout.letter = d.letter;
    layout.present = d.present;
    usb.AddDevice(layout);
  }
}

}  // namespace

void AttachBenchUsb(SimPlatform& platform, const std::shared_ptr<SimBench>& bench) {
  SimUsb& usb = platform.Usb();
  const BenchModel& model = bench->Model();
  const BenchIds ids(model);
  AddDevices(usb, model, ids, AddHubs(usb, model, ids));
  for (std::size_t d = 0; d < model.devices.size(); ++d) {
    if (model.devices[d].kind != DeviceKind::kPrinter) continue;
    bench->SetQueueName(static_cast<int>(d), usb.QueueName(static_cast<int>(d)));
  }
  for (const BenchDevice& d : model.devices) {
    if (d.letter == 0) continue;
    const char letter = d.letter;
    usb.SetTrayMover(letter, [bench, letter](bool open) {
      SimDrive* drive = bench->Drive(letter);
      return drive != nullptr && drive->SetTray(open);
    });
  }
  SimUsb* bus = &usb;
  bench->SetOnDeviceChange([bus](const SimDeviceChange& change) {
    if (change.arrived) {
      bus->Plug(change.device);
    } else {
      bus->Unplug(change.device);
    }
  });
}

std::shared_ptr<SimBench> WireBench(SimPlatform& platform, BenchModel model) {
  auto bench = std::make_shared<SimBench>(std::move(model), BenchClock(platform));
  AttachBench(platform, bench);
  AttachBenchUsb(platform, bench);
  platform.SetPrintSink([bench](const std::string& queue) { return bench->SubmitPrintJob(queue); });
  return bench;
}

}  // namespace platform::sim
