// Codes and byte layouts of the device controls the system issues: the USB hub controls and the
// SCSI pass-through, exactly as a 32-bit Windows program exchanges them with the hub driver and
// the storage port driver. Discovery builds and reads these buffers; the sim fills them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace platform {

// All METHOD_BUFFERED: one buffer serves as input and output.
inline constexpr std::uint32_t kIoctlUsbGetNodeInformation = 0x220408;
inline constexpr std::uint32_t kIoctlUsbGetNodeConnectionInformation = 0x22040C;
inline constexpr std::uint32_t kIoctlUsbGetDescriptorFromNodeConnection = 0x220410;
inline constexpr std::uint32_t kIoctlUsbGetNodeConnectionName = 0x220414;
inline constexpr std::uint32_t kIoctlUsbGetNodeConnectionDriverkeyName = 0x220420;
inline constexpr std::uint32_t kIoctlScsiPassThrough = 0x4D004;

// --- Little-endian field access -----------------------------------------------------------------
// Windows structures are little-endian whatever the host. A field that does not lie wholly
// inside the buffer reads as 0 and is not written: a short buffer never leads past its end.

inline std::uint32_t GetLe(std::span<const std::uint8_t> buffer, std::size_t offset,
                           std::size_t width) {
  if (offset > buffer.size() || width > buffer.size() - offset) return 0;
  std::uint32_t value = 0;
  for (std::size_t i = width; i > 0; --i) value = (value << 8) | buffer[offset + i - 1];
  return value;
}
inline std::uint8_t GetU8(std::span<const std::uint8_t> b, std::size_t offset) {
  return static_cast<std::uint8_t>(GetLe(b, offset, 1));
}
inline std::uint16_t GetU16(std::span<const std::uint8_t> b, std::size_t offset) {
  return static_cast<std::uint16_t>(GetLe(b, offset, 2));
}
inline std::uint32_t GetU32(std::span<const std::uint8_t> b, std::size_t offset) {
  return GetLe(b, offset, 4);
}

inline void PutLe(std::span<std::uint8_t> buffer, std::size_t offset, std::size_t width,
                  std::uint32_t value) {
  if (offset > buffer.size() || width > buffer.size() - offset) return;
  for (std::size_t i = 0; i < width; ++i)
    buffer[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline void PutU8(std::span<std::uint8_t> b, std::size_t offset, std::uint32_t value) {
  PutLe(b, offset, 1, value);
}
inline void PutU16(std::span<std::uint8_t> b, std::size_t offset, std::uint32_t value) {
  PutLe(b, offset, 2, value);
}
inline void PutU32(std::span<std::uint8_t> b, std::size_t offset, std::uint32_t value) {
  PutLe(b, offset, 4, value);
}

// --- USB hub controls (usbioctl.h; these structures are packed to 1 byte) -----------------------

// USB_NODE_INFORMATION: NodeType, then USB_HUB_INFORMATION (USB_HUB_DESCRIPTOR of 71 bytes and
// HubIsBusPowered). The port count is the hub descriptor's bNumberOfPorts.
struct NodeInformationLayout {
  static constexpr std::size_t kNodeType = 0;  // ULONG: 0 = UsbHub
  static constexpr std::size_t kDescriptorLength = 4;
  static constexpr std::size_t kDescriptorType = 5;  // 0x29, hub descriptor
  static constexpr std::size_t kNumberOfPorts = 6;
  static constexpr std::size_t kHubCharacteristics = 7;  // USHORT
  static constexpr std::size_t kPowerOnToPowerGood = 9;
  static constexpr std::size_t kHubControlCurrent = 10;
  static constexpr std::size_t kRemoveAndPowerMask = 11;  // 64 bytes
  static constexpr std::size_t kHubIsBusPowered = 75;
  static constexpr std::size_t kSize = 76;
  static constexpr std::uint8_t kHubDescriptorType = 0x29;
};

// USB_NODE_CONNECTION_INFORMATION: the port's device descriptor, hub flag and status, followed by
// USB_PIPE_INFO entries (an endpoint descriptor and a schedule offset) as far as the buffer holds.
struct NodeConnectionInformationLayout {
  static constexpr std::size_t kConnectionIndex = 0;   // ULONG, the port (input)
  static constexpr std::size_t kDeviceDescriptor = 4;  // USB_DEVICE_DESCRIPTOR, 18 bytes
  static constexpr std::size_t kBcdUsb = 6;            // USHORT
  static constexpr std::size_t kDeviceClass = 8;
  static constexpr std::size_t kMaxPacketSize0 = 11;
  static constexpr std::size_t kIdVendor = 12;   // USHORT
  static constexpr std::size_t kIdProduct = 14;  // USHORT
  static constexpr std::size_t kBcdDevice = 16;  // USHORT
  static constexpr std::size_t kIManufacturer = 18;
  static constexpr std::size_t kIProduct = 19;
  static constexpr std::size_t kISerialNumber = 20;
  static constexpr std::size_t kNumConfigurations = 21;
  static constexpr std::size_t kCurrentConfigurationValue = 22;
  static constexpr std::size_t kLowSpeed = 23;
  static constexpr std::size_t kDeviceIsHub = 24;
  static constexpr std::size_t kDeviceAddress = 25;      // USHORT
  static constexpr std::size_t kNumberOfOpenPipes = 27;  // ULONG
  static constexpr std::size_t kConnectionStatus = 31;   // ULONG, USB_CONNECTION_STATUS
  static constexpr std::size_t kPipeList = 35;
  static constexpr std::size_t kPipeInfoSize = 11;  // 7-byte endpoint descriptor + ULONG
  static constexpr std::size_t kBaseSize = 35;
  // The buffers the system passes: the port scan (room for 30 pipes, more than any device
  // opens), and the USB 3.0 log section.
  static constexpr std::size_t kScanBufferSize = kBaseSize + 30 * kPipeInfoSize;
  static constexpr std::size_t kLogBufferSize = 362;
  static constexpr std::uint32_t kNoDeviceConnected = 0;
  static constexpr std::uint32_t kDeviceConnected = 1;
};

// USB_DESCRIPTOR_REQUEST: the port, a setup packet, then the descriptor's bytes.
struct DescriptorRequestLayout {
  static constexpr std::size_t kConnectionIndex = 0;  // ULONG
  static constexpr std::size_t kBmRequest = 4;
  static constexpr std::size_t kBRequest = 5;
  static constexpr std::size_t kWValue = 6;    // USHORT: descriptor type * 256 + index
  static constexpr std::size_t kWIndex = 8;    // USHORT: language id for strings
  static constexpr std::size_t kWLength = 10;  // USHORT: bytes asked for
  static constexpr std::size_t kData = 12;
  static constexpr std::size_t kBufferSize = 76;  // 12 + 64 descriptor bytes
  static constexpr std::uint8_t kRequestTypeIn = 0x80;
  static constexpr std::uint8_t kGetDescriptor = 6;
  static constexpr std::uint8_t kStringDescriptor = 3;
  static constexpr std::uint16_t kEnglishUs = 0x0409;
};

// USB_NODE_CONNECTION_NAME and USB_NODE_CONNECTION_DRIVERKEY_NAME share this shape: the port,
// the length the whole answer needs, then the UTF-16 name (zero-terminated when it fits).
struct NodeConnectionNameLayout {
  static constexpr std::size_t kConnectionIndex = 0;  // ULONG
  static constexpr std::size_t kActualLength = 4;     // ULONG
  static constexpr std::size_t kName = 8;
  static constexpr std::size_t kBufferSize = 264;
};

// --- SCSI pass-through (ntddscsi.h) --------------------------------------------------------------

// SCSI_PASS_THROUGH of a 32-bit program: naturally aligned, ULONG_PTR DataBufferOffset 4 bytes
// wide (a 64-bit program's structure is 56 bytes; the product is 32-bit). The system sends it in
// an 80-byte zero-filled buffer: the 44-byte header, 32 bytes of sense data from offset 44, and
// 4 spare bytes; 44 bytes go in and up to 76 come back.
struct ScsiPassThroughLayout {
  static constexpr std::size_t kLength = 0;  // USHORT: 44
  static constexpr std::size_t kScsiStatus = 2;
  static constexpr std::size_t kPathId = 3;
  static constexpr std::size_t kTargetId = 4;
  static constexpr std::size_t kLun = 5;
  static constexpr std::size_t kCdbLength = 6;
  static constexpr std::size_t kSenseInfoLength = 7;
  static constexpr std::size_t kDataIn = 8;
  static constexpr std::size_t kDataTransferLength = 12;  // ULONG
  static constexpr std::size_t kTimeOutValue = 16;        // ULONG, seconds
  static constexpr std::size_t kDataBufferOffset = 20;    // ULONG_PTR (4 bytes)
  static constexpr std::size_t kSenseInfoOffset = 24;     // ULONG
  static constexpr std::size_t kCdb = 28;                 // 16 bytes
  static constexpr std::size_t kSize = 44;
  static constexpr std::size_t kSenseSize = 32;
  static constexpr std::size_t kBufferSize = 80;
  static constexpr std::uint32_t kInputLength = 44;
  static constexpr std::uint32_t kOutputLength = 76;
  static constexpr std::uint8_t kDataInDirection = 1;  // SCSI_IOCTL_DATA_IN
};
static_assert(ScsiPassThroughLayout::kCdb + 16 == ScsiPassThroughLayout::kSize);
static_assert(ScsiPassThroughLayout::kSize + ScsiPassThroughLayout::kSenseSize + 4 ==
              ScsiPassThroughLayout::kBufferSize);

// The two tray commands (6-byte CDBs).
inline constexpr std::uint8_t kScsiPreventAllowMediumRemoval = 0x1E;
inline constexpr std::uint8_t kScsiStartStopUnit = 0x1B;
inline constexpr std::uint8_t kStartStopEject = 2;  // load/eject bit set, start bit clear
inline constexpr std::uint8_t kStartStopLoad = 3;   // both set

}  // namespace platform
