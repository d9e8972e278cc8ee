// Fuzz target: registry texts reaching ClassifyPort. A sim platform whose registry holds
// fuzzer-chosen values (any type, any bytes, unterminated, larger than the reading buffer) for
// every key and value ClassifyPort reads: the device's Service, DeviceDesc and ParentIdPrefix,
// the print queues' PnPData, the USBSTOR nodes, MountedDevices for the drive letters on the bus.
// The result must be a kind code of the documented forms, and every key opened is closed again.
#include <algorithm>
#include <string>
#include <vector>

#include "device/Drives.h"
#include "fuzz/FuzzSupport.h"
#include "platform/sim/SimPlatform.h"

namespace {

constexpr const char* kDevicePath = "SYSTEM\\CurrentControlSet\\Enum\\USB\\vid_1723&pid_0945\\fz";
constexpr const char* kPrinters = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
constexpr const char* kUsbStor = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
constexpr const char* kMounted = "SYSTEM\\MountedDevices";
constexpr std::size_t kMaxValueBytes = 700;  // beyond the largest reading buffer (520)
constexpr std::size_t kMaxNameBytes = 80;    // beyond the subkey name buffers (50, 60)

// A key name: no separator, no zero (a C string), never empty.
std::string KeyName(fuzz::ByteStream& input) {
  std::string name = input.CountedText(kMaxNameBytes);
  name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return c == '\\' || c == 0; }),
             name.end());
  return name.empty() ? "k" : name;
}

// The texts that steer classification, or raw bytes; any value type; sometimes missing.
void SetFuzzValue(platform::sim::SimRegistry& registry, const std::string& path, const char* name,
                  fuzz::ByteStream& input) {
  static const char* const kSteering[] = {"USBPRINT", "USBSTOR", "cdrom", "disk", "x;Drive"};
  const std::uint8_t pick = input.Byte();
  if (pick % 8 == 0) return;  // missing
  std::vector<std::uint8_t> bytes;
  if (pick % 8 <= 5) {
    const std::string text = kSteering[pick % 8 - 1];
    bytes.assign(text.begin(), text.end());
    if (pick & 0x80) bytes.push_back(0);  // terminated, or not
  } else {
    bytes = input.Bytes(input.Word() % (kMaxValueBytes + 1));
  }
  const std::uint32_t types[] = {platform::kRegSz, platform::kRegBinary, platform::kRegMultiSz};
  registry.SetValue(path, name, types[(pick >> 4) % 3], bytes);
}

void FillRegistry(platform::sim::SimPlatform& sim, fuzz::ByteStream& input) {
  auto& registry = sim.Registry();
  registry.CreateKey(kDevicePath);
  for (const char* name : {"Service", "DeviceDesc", "ParentIdPrefix"}) {
    SetFuzzValue(registry, kDevicePath, name, input);
  }
  for (int queues = input.Byte() % 4; queues > 0; --queues) {
    const std::string pnp = std::string(kPrinters) + "\\" + KeyName(input) + "\\PnPData";
    registry.CreateKey(pnp);
    SetFuzzValue(registry, pnp, "DeviceInstanceId", input);
  }
  for (int devices = input.Byte() % 3; devices > 0; --devices) {
    const std::string device = std::string(kUsbStor) + "\\" + KeyName(input);
    for (int instances = input.Byte() % 3; instances > 0; --instances) {
      const std::string instance = device + "\\" + KeyName(input);
      registry.CreateKey(instance);
      for (const char* name : {"FriendlyName", "Service", "ParentIdPrefix"}) {
        SetFuzzValue(registry, instance, name, input);
      }
    }
  }
  // Drives on the bus (GetLogicalDriveStringsA lists them), each with a MountedDevices value.
  const int hub = sim.Usb().AddHub({});
  std::string letters;
  for (int drives = input.Byte() % 4, port = 1; drives > 0; --drives, ++port) {
    const char letter = static_cast<char>('D' + input.Byte() % 23);
    if (letters.find(letter) != std::string::npos) continue;  // one drive per letter
    letters += letter;
    platform::sim::UsbDeviceSpec layout;
    layout.kind = platform::sim::UsbDeviceKind::kCdRom;
    layout.hub = hub;
    layout.port = port;
    layout.letter = letter;
    layout.vid = 0x0E8D;
    layout.pid = static_cast<std::uint16_t>(0x1800 + port);
    layout.serial = std::string("SN") + letter + std::to_string(port);
    sim.Usb().AddDevice(layout);
    const std::string name = std::string("\\DosDevices\\") + letter + ":";
    SetFuzzValue(registry, kMounted, name.c_str(), input);
  }
}

bool KnownCode(const std::string& code) {
  if (code == "A000" || code == "M000" || code == "N000" || code == "P000" || code == "PN00") {
    return true;
  }
  // A storage device whose letter was not found, or whose class is neither "cdrom" nor "disk":
  // only the leading '0' counts (its port entry is dropped).
  if (code.size() == 4 && code[0] == '0') return true;
  return code.size() == 4 && (code[0] == 'C' || code[0] == 'D') && code[1] >= 'A' &&
         code[1] <= 'Z' && code.substr(2) == "00";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteStream input(data, size);
  platform::sim::SimOptions options;
  options.hostFacts = false;
  platform::sim::SimPlatform sim(options);
  platform::SetPlatform(&sim);

  static const char* const kVidPids[] = {"vid_1723&pid_0945", "vid_1717&pid_0101",
                                         "vid_0e8d&pid_1806"};
  const std::uint8_t mode = input.Byte();
  const std::string vidPid = kVidPids[mode % 3];
  const bool keyExists = (mode & 0x10) == 0;
  const std::string instanceId = input.CountedText(kMaxNameBytes);
  FillRegistry(sim, input);

  platform::Handle key = platform::kInvalidHandle;
  if (keyExists) sim.RegOpenKeyExA(kDevicePath, &key);
  const std::size_t openBefore = sim.Registry().OpenKeyCount();
  const PortClass found = ClassifyPort(key, vidPid, instanceId);
  fuzz::Check(sim.Registry().OpenKeyCount() == openBefore, "every key opened is closed again");
  if (key != platform::kInvalidHandle) sim.RegCloseKey(key);

  if (!KnownCode(found.code)) std::fprintf(stderr, "kind code \"%s\"\n", found.code.c_str());
  fuzz::Check(KnownCode(found.code), "the kind code has a documented form");
  fuzz::Check(found.description.find('\0') == std::string::npos, "a description is a C text");
  fuzz::Check(found.description.size() <= 140, "a description fits its reading buffer");

  platform::SetPlatform(nullptr);
  return 0;
}
