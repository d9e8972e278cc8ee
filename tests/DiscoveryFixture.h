// The console on a simulated bench whose USB topology the real discovery walks: the bench's
// hubs and devices on the sim's USB bus, its pipes behind CreateFileA, and its plug and unplug
// events delivered to the main window as WM_DEVICECHANGE, as Windows delivers them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ConsoleFixture.h"
#include "app/DeviceChanges.h"
#include "device/Discovery.h"
#include "device/Drives.h"
#include "device/PortTree.h"
#include "platform/sim/SimUsbBench.h"
#include "platform/sim/bench/BenchLoader.h"
#include "platform/sim/bench/BenchPipes.h"
#include "platform/sim/bench/SimBench.h"

class DiscoveryFixture : public ConsoleFixture {
 protected:
  void TearDown() override {
    ConsoleFixture::TearDown();  // closes the window: CloseAllDevices, DeviceList freed
  }

  // The bench of the test, wired as a program wires it; the window does not exist yet.
  void UseBench(const std::string& json) {
    bench = std::make_shared<platform::sim::SimBench>(platform::sim::ParseBench(json, "test"),
                                                      platform::sim::BenchClock(sim_));
    platform::sim::AttachBench(sim_, bench);
    platform::sim::AttachBenchUsb(sim_, bench);
    toolkit_.SetPromptHook(
        [b = bench](const std::string& text) { b->NotePrompt(text, ui::BoxOrigin()); });
    // As Windows delivers them: a change caused by the worker is handled by the window before
    // the worker goes on; one caused on the GUI thread is posted.
    sim_.Usb().SetDeviceChangeSink(DeliverDeviceChange);
  }

  // Runs the window messages posted so far (device changes).
  void DeliverMessages() {
    while (toolkit_.RunPending()) {
    }
  }

  // The bench device of a unit's link, or of its drive at a letter.
  int LinkDevice(int unit, int link = 1) const { return bench->LinkDevice(unit, link); }
  int DeviceAt(char letter) const {
    const auto& devices = bench->Model().devices;
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].letter == letter) return static_cast<int>(i);
    }
    return -1;
  }

  DeviceEntry& Entry(std::size_t index) { return *DeviceList.at(index); }
  std::vector<std::string> ComboItems() { return form().ItemNames(); }

  std::shared_ptr<platform::sim::SimBench> bench;
};
