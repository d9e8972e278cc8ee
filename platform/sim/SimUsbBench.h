// A bench on the sim's USB bus: its hubs and USB devices become the bus's, with the ids the bench
// topology derives, trays moved through the bench's drives and presence following the bench.
// The platform owns the bus; the bus and the bench each keep the other reachable (see below).
#pragma once

#include <memory>

#include "platform/sim/SimPlatform.h"
#include "platform/sim/bench/SimBench.h"

namespace platform::sim {

// Fills platform.Usb() from the bench: hub i and device d of the bench are hub and device of the
// bus in the same order (hubs parents first), each device with the instance id and interface
// path BenchTopology gives it, so the bench's pipes (AttachBench) answer the paths discovery
// opens. SCSI tray requests go to the bench's SimDrive of the letter. Takes the bench's device
// change hook: every unplug and plug of a bench device unplugs or plugs it on the bus, which
// raises the device notification (SimUsb::SetDeviceChangeSink). Call once, on an empty bus,
// before anything talks to the bench; the platform must outlive the bench's events.
void AttachBenchUsb(SimPlatform& platform, const std::shared_ptr<SimBench>& bench);

// The bench of this model wired into the platform as the programs wire it: on the platform's
// clock, its pipes (AttachBench), its USB bus (AttachBenchUsb) and its printers taking the print
// jobs for their queues (the one with that queue ejects its unit's tray).
std::shared_ptr<SimBench> WireBench(SimPlatform& platform, BenchModel model);

}  // namespace platform::sim
