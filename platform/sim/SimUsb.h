// The simulated USB bus and drives: hubs, the devices on their ports, and what Windows shows of
// them (SetupDi interfaces, hub controls, device registry keys, logical drives, MountedDevices,
// SCSI pass-through on "\\.\X:", device notifications). Owned by SimPlatform; units attach here.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/sim/SimFile.h"
#include "platform/sim/SimRegistry.h"

namespace platform::sim {

// What a device is to Windows: which driver takes it and which registry keys that leaves.
enum class UsbDeviceKind {
  kAutoloader,  // the autoloaders' own driver: Service and DeviceDesc only
  kPrinter,     // USBPRINT: a ParentIdPrefix and, with a queue, a print queue naming it
  kCdRom,       // USBSTOR with a CD-ROM below it, mounted at a drive letter
  kDisk,        // USBSTOR with a removable disk below it, mounted at a drive letter
  kOther,       // anything else (an input device)
};

struct UsbHubSpec {
  int parent = -1;     // hub id of the parent hub; -1 for a root hub
  int parentPort = 0;  // port of the parent hub it hangs on
  int ports = 4;
  bool usb30 = false;     // a root hub of a USB 3.0 controller: its path says "root_hub30"
  std::string name;       // seeds the derived ids; unique on the bus (default: "hub<id>")
  std::string prefix;     // ParentIdPrefix; empty: derived from the name and depth
  bool noPrefix = false;  // the hub's key has no ParentIdPrefix (children then use "NoPointNextId")
};

struct UsbDeviceSpec {
  UsbDeviceKind kind = UsbDeviceKind::kOther;
  int hub = 0;
  int port = 1;
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  std::uint16_t bcdUsb = 0x0200;
  bool present = true;                // plugged in from the start
  bool serialReadable = true;         // false: the device stalls the serial string request
  bool hasDescription = true;         // false: that value is missing from the registry
  bool hasQueue = true;               // printers: a print queue is installed for it
  char letter = 0;                    // drives and disks: the drive letter, 'D' to 'Z'
  int pipes = 0;                      // open pipes the hub lists; 0: 1 for kOther, 2 for the rest
  std::optional<std::string> serial;  // the serial-number string; none: iSerialNumber is 0
  // Autoloaders and others: the DeviceDesc text (after the ";"); printers: the queue name;
  // drives and disks: the FriendlyName of the storage node.
  std::string description;
};

// One SCSI pass-through request as a drive received it: the 44-byte header as sent (before the
// drive filled in its status) and the two buffer sizes of the control call.
struct ScsiRecord {
  std::array<std::uint8_t, 44> header{};
  std::uint32_t inSize = 0;
  std::uint32_t outSize = 0;
};

// A unit's command interface on one USB device: its two pipes.
class UsbFunction {
 public:
  virtual ~UsbFunction() = default;
  // CreateFileA on "<interface path>\PIPE00" (pipe 0) or "\PIPE01" (pipe 1), with the access
  // asked for. Null fails the open. Any thread. The bus fails reads and writes on the file
  // itself once the device is unplugged, so the file need not watch for that.
  virtual std::unique_ptr<SimFile> OpenPipe(int pipe, std::uint32_t access) = 0;
  // The device was unplugged (false) or plugged in again (true). Called on the thread that
  // plugged it, without the bus's lock held.
  virtual void Plugged(bool present) { (void)present; }
};

// A tray move asked of a drive (START STOP UNIT): open true ejects. Returns false when the drive
// rejects the request (the control call then fails). Any thread. While a mover is set, the
// tray's state is the mover's business and TrayOpen no longer follows.
using TrayMover = std::function<bool(bool open)>;

// The WM_DEVICECHANGE event codes the bus raises: one per USB device that arrives or leaves.
inline constexpr unsigned long kDeviceArrival = 0x8000;
inline constexpr unsigned long kDeviceRemoveComplete = 0x8004;

// Every call is thread-safe (one lock; sinks, movers and functions are called without it).
class SimUsb {
 public:
  explicit SimUsb(SimRegistry& registry);
  ~SimUsb();
  SimUsb(const SimUsb&) = delete;
  SimUsb& operator=(const SimUsb&) = delete;

  // --- Building the bus (bench loader, tests). Ids count from 0 in the order added. ------------
  // A hub's parent must exist already. Writes the hub's Enum key.
  int AddHub(const UsbHubSpec& layout);
  // Writes the device's Enum\USB key, and what its kind leaves elsewhere (print queue,
  // Enum\USBSTOR, MountedDevices, the driver's class key). Keys stay when it is unplugged.
  int AddDevice(const UsbDeviceSpec& layout);
  // The ids Windows would show (see SimUsb.cpp for the rules).
  std::string HubInstanceId(int hub) const;
  std::optional<std::string> HubPrefix(int hub) const;
  std::string HubInterfacePath(int hub) const;
  std::string DeviceInstanceId(int device) const;
  // A printer's print queue as the registry names it: a second queue of the same name gets
  // " (Copy 1)", a third " (Copy 2)", as Windows names them. Empty for no queue.
  std::string QueueName(int device) const;
  // "\\?\usb#vid_1723&pid_0935#<instance id>#{a5dcbf10-...}", lower case.
  std::string DeviceInterfacePath(int device) const;
  int HubCount() const;
  int DeviceCount() const;

  // --- Plugging ----------------------------------------------------------------------------------
  // Each change of presence raises one event to the sink while a notification is registered.
  // Called from any thread (a bench event may fire inside a worker's exchange); the sink runs on
  // the caller's thread.
  void Unplug(int device);
  void Plug(int device);
  bool IsPresent(int device) const;

  // Where device events go. The program installs it once its main window exists and turns each
  // event into a window message on the GUI thread:
  //   usb.SetDeviceChangeSink([&form](unsigned long code) {
  //     ui::TheToolkit().Post([&form, code] { form.Dispatch(ui::kWmDeviceChange, code, 0); });
  //   });
  // Null removes it. Events come only while RegisterDeviceNotificationA is in force, as on Windows.
  void SetDeviceChangeSink(std::function<void(unsigned long eventCode)> sink);
  bool NotificationRegistered() const;

  // --- Units and drives --------------------------------------------------------------------------
  // Routes the device's pipe paths to the function (null detaches it).
  void AttachFunction(int device, std::shared_ptr<UsbFunction> function);
  void SetTrayMover(char letter, TrayMover mover);
  // The tray of the drive at the letter, as moved by SCSI requests (no mover set).
  bool TrayOpen(char letter) const;
  // The SCSI requests the drive at the letter has received, oldest first.
  std::vector<ScsiRecord> ScsiRequests(char letter) const;

  // --- For SimPlatform ---------------------------------------------------------------------------
  // Opens hub interface paths, "\\.\X:" drives and the pipes of attached functions.
  std::shared_ptr<DeviceFileProvider> FileProvider() const;
  Handle SetupDiGetClassDevsA(const Guid& interfaceClass, std::uint32_t flags);
  bool SetupDiEnumDeviceInterfaces(Handle set, const Guid& interfaceClass, std::uint32_t index,
                                   DeviceInterfaceData* data);
  bool SetupDiGetDeviceInterfaceDetailA(Handle set, const DeviceInterfaceData& data, char* path,
                                        std::uint32_t size, std::uint32_t* required);
  bool SetupDiDestroyDeviceInfoList(Handle set);
  std::uint32_t GetLogicalDrives() const;
  std::uint32_t GetLogicalDriveStringsA(std::uint32_t size, char* buffer) const;
  std::uint32_t GetDriveTypeA(const char* root) const;
  Handle RegisterDeviceNotificationA(Handle recipient, const DevBroadcastDeviceInterface& filter,
                                     std::uint32_t flags);
  bool UnregisterDeviceNotification(Handle notification);
  // SetupDi sets and notifications open now (leak checks in tests).
  std::size_t OpenSetCount() const;

  struct State;  // shared with the files opened on the bus

 private:
  void SetPresence(int device, bool present);

  SimRegistry& registry_;
  std::shared_ptr<State> state_;
};

}  // namespace platform::sim
