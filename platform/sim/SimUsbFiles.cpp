// The files of the simulated USB bus: hub handles answering the hub controls with Windows'
// byte layouts, "\\.\X:" drive handles answering SCSI pass-through, and the pipes of attached
// units, which fail once their device has been unplugged.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/DeviceControl.h"
#include "platform/sim/SimIds.h"
#include "platform/sim/SimUsbState.h"

namespace platform::sim {
namespace {

using Layout = NodeConnectionInformationLayout;

// Writes text as UTF-16LE at offset, as far as the buffer holds, zero-terminated when it fits.
void PutUtf16(std::span<std::uint8_t> out, std::size_t offset, std::string_view text) {
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const std::uint8_t c = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
    PutU16(out, offset + 2 * i, c);
  }
}

// A device opened for its I/O controls only (a hub, a drive): reads and writes fail.
class ControlFile : public SimFile {
 public:
  bool Read(std::span<std::uint8_t>, std::uint32_t* done) override {
    *done = 0;
    return false;
  }
  bool Write(std::span<const std::uint8_t>, std::uint32_t* done) override {
    *done = 0;
    return false;
  }
};

// --- Hubs ----------------------------------------------------------------------------------------

class HubFile : public ControlFile {
 public:
  HubFile(std::shared_ptr<SimUsb::State> state, int hub) : state_(std::move(state)), hub_(hub) {}

  // METHOD_BUFFERED: input and output may be the same bytes, so every input field is read
  // before the answer is written.
  bool DeviceIoControl(std::uint32_t code, std::span<const std::uint8_t> input,
                       std::span<std::uint8_t> output, std::uint32_t* returned) override {
    *returned = 0;
    std::lock_guard lock(state_->mutex);
    const SimUsb::State::Hub& hub = state_->hubs[static_cast<std::size_t>(hub_)];
    switch (code) {
      case kIoctlUsbGetNodeInformation:
        return NodeInformation(hub, output, returned);
      case kIoctlUsbGetNodeConnectionInformation:
        return ConnectionInformation(hub, input, output, returned);
      case kIoctlUsbGetDescriptorFromNodeConnection:
        return Descriptor(hub, input, output, returned);
      case kIoctlUsbGetNodeConnectionName:
      case kIoctlUsbGetNodeConnectionDriverkeyName:
        return ConnectionName(hub, code, input, output, returned);
      default:
        return false;
    }
  }

 private:
  static int PortOf(const SimUsb::State::Hub& hub, std::span<const std::uint8_t> input) {
    if (input.size() < 4) return -1;
    const std::uint32_t port = GetU32(input, 0);
    return port >= 1 && port <= static_cast<std::uint32_t>(hub.layout.ports)
               ? static_cast<int>(port)
               : -1;
  }

  bool NodeInformation(const SimUsb::State::Hub& hub, std::span<std::uint8_t> out,
                       std::uint32_t* returned) {
    using N = NodeInformationLayout;
    if (out.size() < N::kSize) return false;
    std::fill_n(out.begin(), N::kSize, 0);
    PutU32(out, N::kNodeType, 0);
    PutU8(out, N::kDescriptorLength, 9);
    PutU8(out, N::kDescriptorType, N::kHubDescriptorType);
    PutU8(out, N::kNumberOfPorts, static_cast<std::uint32_t>(hub.layout.ports));
    PutU16(out, N::kHubCharacteristics, 0x0009);  // per-port power switching and overcurrent
    PutU8(out, N::kPowerOnToPowerGood, 50);
    PutU8(out, N::kHubControlCurrent, 100);
    PutU8(out, N::kHubIsBusPowered, hub.layout.parent >= 0 ? 1 : 0);
    *returned = N::kSize;
    return true;
  }

  bool ConnectionInformation(const SimUsb::State::Hub& hub, std::span<const std::uint8_t> in,
                             std::span<std::uint8_t> out, std::uint32_t* returned) {
    const int port = PortOf(hub, in);
    if (port < 0 || out.size() < Layout::kBaseSize) return false;
    const SimUsb::State::Device* device = state_->DeviceAtLocked(hub_, port);
    const SimUsb::State::Hub* child = state_->HubAtLocked(hub_, port);
    std::fill(out.begin(), out.end(), 0);
    PutU32(out, Layout::kConnectionIndex, static_cast<std::uint32_t>(port));
    PutU8(out, Layout::kDeviceDescriptor, 18);
    PutU8(out, Layout::kDeviceDescriptor + 1, 1);
    PutU8(out, Layout::kMaxPacketSize0, 64);
    PutU8(out, Layout::kNumConfigurations, 1);
    int pipes = 0;
    if (device != nullptr) {
      const UsbDeviceSpec& layout = device->layout;
      PutU16(out, Layout::kBcdUsb, layout.bcdUsb);
      PutU16(out, Layout::kIdVendor, layout.vid);
      PutU16(out, Layout::kIdProduct, layout.pid);
      PutU16(out, Layout::kBcdDevice, 0x0100);
      PutU8(out, Layout::kIManufacturer, 1);
      PutU8(out, Layout::kIProduct, 2);
      PutU8(out, Layout::kISerialNumber, device->hasSerial ? 3 : 0);
      PutU16(out, Layout::kDeviceAddress, static_cast<std::uint32_t>(device->address));
      pipes = layout.pipes > 0 ? layout.pipes : layout.kind == UsbDeviceKind::kOther ? 1 : 2;
    } else if (child != nullptr) {
      PutU16(out, Layout::kBcdUsb, child->layout.usb30 ? 0x0300 : 0x0200);
      PutU8(out, Layout::kDeviceClass, 9);
      PutU16(out, Layout::kIdVendor, 0xFFFE);
      PutU16(out, Layout::kIdProduct, 0x0001);
      PutU8(out, Layout::kDeviceIsHub, 1);
      PutU16(out, Layout::kDeviceAddress, static_cast<std::uint32_t>(child->address));
      pipes = 1;
    } else {
      *returned = Layout::kBaseSize;
      return true;  // status 0: nothing connected
    }
    PutU8(out, Layout::kCurrentConfigurationValue, 1);
    PutU32(out, Layout::kNumberOfOpenPipes, static_cast<std::uint32_t>(pipes));
    PutU32(out, Layout::kConnectionStatus, Layout::kDeviceConnected);
    const std::size_t fit = (out.size() - Layout::kBaseSize) / Layout::kPipeInfoSize;
    const int shown = std::min(pipes, static_cast<int>(fit));
    for (int i = 0; i < shown; ++i) {
      const std::size_t at =
          Layout::kPipeList + static_cast<std::size_t>(i) * Layout::kPipeInfoSize;
      PutU8(out, at, 7);                         // bLength
      PutU8(out, at + 1, 5);                     // ENDPOINT
      PutU8(out, at + 2, i == 0 ? 0x81 : 0x02);  // IN 1, OUT 2
      PutU8(out, at + 3, device != nullptr && device->layout.kind != UsbDeviceKind::kOther ? 2 : 3);
      PutU16(out, at + 4, 64);  // wMaxPacketSize
    }
    *returned = static_cast<std::uint32_t>(Layout::kBaseSize + shown * Layout::kPipeInfoSize);
    if (shown < pipes) {
      // As the hub driver: the fixed part and the pipes that fitted, with ERROR_MORE_DATA.
      SetSimLastError(kErrorMoreData);
      return false;
    }
    return true;
  }

  bool Descriptor(const SimUsb::State::Hub& hub, std::span<const std::uint8_t> in,
                  std::span<std::uint8_t> out, std::uint32_t* returned) {
    using D = DescriptorRequestLayout;
    const int port = PortOf(hub, in);
    if (port < 0 || in.size() < D::kData || out.size() < D::kData) return false;
    const std::uint8_t request = GetU8(in, D::kBRequest);
    const std::uint16_t value = GetU16(in, D::kWValue);
    const std::uint16_t language = GetU16(in, D::kWIndex);
    const std::uint16_t wanted = GetU16(in, D::kWLength);
    const std::vector<std::uint8_t> setup(in.begin(), in.begin() + D::kData);
    const SimUsb::State::Device* device = state_->DeviceAtLocked(hub_, port);
    if (device == nullptr || request != D::kGetDescriptor || (value >> 8) != D::kStringDescriptor) {
      return false;  // the device stalls the request
    }
    std::vector<std::uint8_t> descriptor;
    if (!StringDescriptor(device->layout, value & 0xFF, language, descriptor)) return false;
    const std::size_t n =
        std::min({descriptor.size(), static_cast<std::size_t>(wanted), out.size() - D::kData});
    std::copy(setup.begin(), setup.end(), out.begin());
    std::copy_n(descriptor.begin(), n, out.begin() + D::kData);
    *returned = static_cast<std::uint32_t>(D::kData + n);
    return true;
  }

  static bool StringDescriptor(const UsbDeviceSpec& layout, int index, std::uint16_t language,
                               std::vector<std::uint8_t>& descriptor) {
    if (index == 0) {
      descriptor = {4, DescriptorRequestLayout::kStringDescriptor, 0x09, 0x04};
      return true;
    }
    if (language != DescriptorRequestLayout::kEnglishUs) return false;
    std::string text;
    if (index == 1) {
      text = "Sim Devices";
    } else if (index == 2) {
      text = layout.description;
    } else if (index == 3 && layout.serial && layout.serialReadable) {
      text = *layout.serial;
    } else {
      return false;
    }
    text.resize(std::min<std::size_t>(text.size(), 126));  // bLength is one byte
    descriptor.assign(2 + 2 * text.size(), 0);
    descriptor[0] = static_cast<std::uint8_t>(descriptor.size());
    descriptor[1] = DescriptorRequestLayout::kStringDescriptor;
    for (std::size_t i = 0; i < text.size(); ++i)
      descriptor[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    return true;
  }

  bool ConnectionName(const SimUsb::State::Hub& hub, std::uint32_t code,
                      std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                      std::uint32_t* returned) {
    using C = NodeConnectionNameLayout;
    const int port = PortOf(hub, in);
    if (port < 0 || out.size() < C::kName + 2) return false;
    const SimUsb::State::Device* device = state_->DeviceAtLocked(hub_, port);
    const SimUsb::State::Hub* child = state_->HubAtLocked(hub_, port);
    std::string name;
    if (code == kIoctlUsbGetNodeConnectionName) {
      // A downstream hub's symbolic name, without the "\\?\" in front; nothing for a device.
      if (child != nullptr) name = child->path.substr(4);
    } else if (device != nullptr) {
      name = device->driverKey;
    } else if (child != nullptr) {
      name = child->driverKey;
    } else {
      return false;
    }
    std::fill(out.begin(), out.end(), 0);
    const std::size_t actual = C::kName + 2 * (name.size() + 1);
    PutU32(out, C::kConnectionIndex, static_cast<std::uint32_t>(port));
    PutU32(out, C::kActualLength, static_cast<std::uint32_t>(actual));
    if (actual <= out.size()) PutUtf16(out, C::kName, name);
    *returned = static_cast<std::uint32_t>(std::min(actual, out.size()));
    return true;
  }

  std::shared_ptr<SimUsb::State> state_;
  const int hub_;
};

// --- Drives --------------------------------------------------------------------------------------

class DriveFile : public ControlFile {
 public:
  DriveFile(std::shared_ptr<SimUsb::State> state, int letter, std::uint32_t access,
            unsigned plugCount)
      : state_(std::move(state)), letter_(letter), access_(access), plugCount_(plugCount) {}

  bool DeviceIoControl(std::uint32_t code, std::span<const std::uint8_t> input,
                       std::span<std::uint8_t> output, std::uint32_t* returned) override {
    using S = ScsiPassThroughLayout;
    *returned = 0;
    // SCSI pass-through needs a handle opened for reading and writing.
    const bool readWrite = (access_ & kGenericRead) != 0 && (access_ & kGenericWrite) != 0;
    if (code != kIoctlScsiPassThrough || !readWrite || input.size() < S::kSize ||
        output.size() < S::kSize || GetU16(input, S::kLength) != S::kSize ||
        GetU8(input, S::kCdbLength) > 16) {
      return false;
    }
    ScsiRecord record;
    std::copy_n(input.begin(), S::kSize, record.header.begin());
    record.inSize = static_cast<std::uint32_t>(input.size());
    record.outSize = static_cast<std::uint32_t>(output.size());
    TrayMover mover;
    bool move = false;
    bool open = false;
    std::uint8_t status = 0;
    {
      std::lock_guard lock(state_->mutex);
      SimUsb::State::Drive* drive = LiveDriveLocked();
      if (drive == nullptr) return false;  // the drive has gone
      drive->requests.push_back(record);
      status = Execute(*drive, record.header, &move, &open);
      if (move) mover = drive->mover;
      if (move && !mover) drive->trayOpen = open;
    }
    // Outside the lock: the mover belongs to a unit that may look at the bus itself.
    if (move && mover && !mover(open)) return false;
    std::copy(record.header.begin(), record.header.end(), output.begin());
    PutU8(output, S::kScsiStatus, status);
    if (status == 0) PutU8(output, S::kSenseInfoLength, 0);
    *returned = static_cast<std::uint32_t>(S::kSize);
    return true;
  }

 private:
  SimUsb::State::Drive* LiveDriveLocked() {
    SimUsb::State::Drive* drive = state_->MountedDriveLocked(letter_);
    if (drive == nullptr) return nullptr;
    if (drive->device >= 0 &&
        state_->devices[static_cast<std::size_t>(drive->device)].plugCount != plugCount_) {
      return nullptr;  // a handle from before the drive was unplugged stays dead
    }
    return drive;
  }

  // Runs the CDB; returns the SCSI status (0 good, 2 check condition).
  static std::uint8_t Execute(SimUsb::State::Drive& drive,
                              const std::array<std::uint8_t, 44>& header, bool* move, bool* open) {
    if (drive.type != kDriveCdrom) return 2;
    const std::uint8_t* cdb = header.data() + ScsiPassThroughLayout::kCdb;
    switch (cdb[0]) {
      case 0x00:  // TEST UNIT READY
        return 0;
      case kScsiPreventAllowMediumRemoval:
        drive.locked = (cdb[4] & 1) != 0;
        return 0;
      case kScsiStartStopUnit:
        if ((cdb[4] & 2) == 0) return 0;  // start or stop only: no tray movement
        *open = (cdb[4] & 1) == 0;
        if (*open && drive.locked) return 2;  // medium removal prevented
        *move = true;
        return 0;
      default:
        return 2;  // illegal request
    }
  }

  std::shared_ptr<SimUsb::State> state_;
  const int letter_;
  const std::uint32_t access_;
  const unsigned plugCount_;
};

// --- Pipes ---------------------------------------------------------------------------------------

// A unit's pipe, cut off by the bus when its device is unplugged.
class PipeFile : public SimFile {
 public:
  PipeFile(std::shared_ptr<SimUsb::State> state, int device, unsigned plugCount,
           std::unique_ptr<SimFile> inner)
      : state_(std::move(state)),
        device_(device),
        plugCount_(plugCount),
        inner_(std::move(inner)) {}

  bool Read(std::span<std::uint8_t> buffer, std::uint32_t* done) override {
    *done = 0;
    return Connected() && inner_->Read(buffer, done);
  }
  bool Write(std::span<const std::uint8_t> data, std::uint32_t* done) override {
    *done = 0;
    return Connected() && inner_->Write(data, done);
  }
  bool DeviceIoControl(std::uint32_t code, std::span<const std::uint8_t> input,
                       std::span<std::uint8_t> output, std::uint32_t* returned) override {
    *returned = 0;
    return Connected() && inner_->DeviceIoControl(code, input, output, returned);
  }
  void Close() override { inner_->Close(); }

 private:
  bool Connected() const {
    std::lock_guard lock(state_->mutex);
    const auto& device = state_->devices[static_cast<std::size_t>(device_)];
    return device.layout.present && device.plugCount == plugCount_;
  }

  std::shared_ptr<SimUsb::State> state_;
  const int device_;
  const unsigned plugCount_;
  std::unique_ptr<SimFile> inner_;
};

// --- The provider --------------------------------------------------------------------------------

class BusFileProvider : public DeviceFileProvider {
 public:
  explicit BusFileProvider(std::shared_ptr<SimUsb::State> state) : state_(std::move(state)) {}

  // Owns drive letters, the pipes of devices with a unit behind them and the hubs. Only an
  // existing device opens (OPEN_EXISTING); any other creation fails on a path it owns.
  DeviceOpen Open(std::string_view path, std::uint32_t access, std::uint32_t,
                  std::uint32_t creation) override {
    const bool existing = creation == kOpenExisting;
    const int letter = DriveLetterOf(path);
    std::shared_ptr<UsbFunction> function;
    PipeRef pipe;
    unsigned plugCount = 0;
    {
      std::lock_guard lock(state_->mutex);
      if (letter >= 0) return {true, existing ? OpenDriveLocked(letter, access) : nullptr};
      // A pipe's path is told by its end without a look-up, and is never a hub's.
      pipe = PipeOfLocked(path);
      if (pipe.device < 0) {
        const int hub = HubOfLocked(path);
        if (hub < 0) return {};
        return {true, existing ? std::make_unique<HubFile>(state_, hub) : nullptr};
      }
      if (!existing || !state_->DevicePresentLocked(pipe.device)) return {true, nullptr};
      const auto& device = state_->devices[static_cast<std::size_t>(pipe.device)];
      function = device.function;
      plugCount = device.plugCount;
    }
    // The unit opens its pipe without the bus's lock: it may ask the bus about itself.
    std::unique_ptr<SimFile> inner = function ? function->OpenPipe(pipe.pipe, access) : nullptr;
    if (!inner) return {true, nullptr};
    return {true, std::make_unique<PipeFile>(state_, pipe.device, plugCount, std::move(inner))};
  }

 private:
  struct PipeRef {
    int device = -1;
    int pipe = 0;
  };

  // "\\.\E:" (either case) gives 4; anything else -1.
  static int DriveLetterOf(std::string_view path) {
    if (path.size() != 6 || path.substr(0, 4) != "\\\\.\\" || path[5] != ':') return -1;
    const int c = std::toupper(static_cast<unsigned char>(path[4]));
    return c >= 'A' && c <= 'Z' ? c - 'A' : -1;
  }

  int HubOfLocked(std::string_view path) const {
    const auto it = state_->hubByPath.find(AsciiLower(path));
    return it == state_->hubByPath.end() ? -1 : it->second;
  }

  PipeRef PipeOfLocked(std::string_view path) const {
    const std::optional<PipePath> split = SplitPipePath(path);
    if (!split) return {};
    const auto it = state_->devicesByPath.find(AsciiLower(split->interfacePath));
    if (it == state_->devicesByPath.end()) return {};
    for (int id : it->second) {
      if (state_->devices[static_cast<std::size_t>(id)].function) return {id, split->pipe};
    }
    return {};
  }

  std::unique_ptr<SimFile> OpenDriveLocked(int letter, std::uint32_t access) {
    const SimUsb::State::Drive* drive = state_->MountedDriveLocked(letter);
    if (drive == nullptr) return nullptr;
    const unsigned plugCount =
        drive->device >= 0 ? state_->devices[static_cast<std::size_t>(drive->device)].plugCount : 0;
    return std::make_unique<DriveFile>(state_, letter, access, plugCount);
  }

  std::shared_ptr<SimUsb::State> state_;
};

}  // namespace

std::shared_ptr<DeviceFileProvider> MakeBusFileProvider(std::shared_ptr<SimUsb::State> state) {
  return std::make_shared<BusFileProvider>(std::move(state));
}

}  // namespace platform::sim
