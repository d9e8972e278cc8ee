// One attached autoloader (DeviceEntry), the list that owns the entries (DeviceList) and the
// entry chosen by the operator (SelectedDevice). Entries are created, changed and removed on the
// GUI thread; a running worker reads the entry it tests, so the fields that removal handling
// changes under it are atomic and the texts it may clear are behind the entry's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/ModelCatalogue.h"
#include "platform/Platform.h"

// Flag characters of links, claims and ports: '0' closed/free, '1' open/taken, byte 0 departed.
inline constexpr char kFlagClosed = '0';
inline constexpr char kFlagOpen = '1';
inline constexpr char kFlagDeparted = '\0';

using DeviceFlag = std::atomic<char>;

// Whether a link's exchange is under way. Taken without waiting and given back by its taker;
// a thread asking again while it holds it (a device change handled inside its exchange) is
// refused like any other.
class LinkExchange {
 public:
  bool TryTake() { return !taken_.exchange(true, std::memory_order_acquire); }
  void Give() { taken_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> taken_{false};
};

struct DeviceEntry {
  DeviceEntry();
  ~DeviceEntry();
  DeviceEntry(const DeviceEntry&) = delete;
  DeviceEntry& operator=(const DeviceEntry&) = delete;

  // The open-state characters of the port entries behind link 1, slot 1, link 2 and slot 2;
  // valid while the matching flag is '1'. They point into the port tree.
  std::atomic<char>* Link1PortRef = nullptr;
  std::atomic<char>* Claim1PortRef = nullptr;
  std::atomic<char>* Link2PortRef = nullptr;
  std::atomic<char>* Claim2PortRef = nullptr;

  DeviceFlag Link1Flag{kFlagOpen};
  DeviceFlag Claim1Flag{kFlagClosed};
  DeviceFlag Link2Flag{kFlagClosed};
  DeviceFlag Claim2Flag{kFlagClosed};

  std::string HubPrefix;
  char VidPidText[20] = {};  // "VID_vvvv&PID_pppp" in upper-case hex, zero-terminated
  std::string Description;

  std::atomic<platform::Handle> Link1Read{platform::kInvalidHandle};
  std::atomic<platform::Handle> Link1Write{platform::kInvalidHandle};
  std::atomic<platform::Handle> Link2Read{platform::kInvalidHandle};
  std::atomic<platform::Handle> Link2Write{platform::kInvalidHandle};

  std::atomic<std::int8_t> PrinterCount{0};
  std::atomic<std::uint8_t> PrinterPort{0};
  std::atomic<std::int8_t> HvCount{0};
  std::atomic<std::uint8_t> HvPort{0};
  std::atomic<std::int8_t> DriveCount{0};
  std::atomic<char> DriveLetter1{0};
  std::atomic<char> DriveLetter2{0};
  std::atomic<std::uint8_t> Usb3Connection{0};

  // One user of a link at a time: an exchange (a command and its reply, or one sensor poll)
  // holds its link's lock from its first write to its end. SendCommand takes it without
  // waiting, on every thread: a link in use by another fails the command at once, as a lost
  // link does, so the window never waits on a worker's link.
  LinkExchange Link1Exchange;
  LinkExchange Link2Exchange;
  // From Start until the run's worker has been joined (GUI thread): discovery and the drive
  // association leave a unit under test alone.
  std::atomic<bool> RunUnderWay{false};

  std::string ModelName;
  // The identification reply discovery read ("RM82C V1.20;{S0000};TK36K0001;OK AT+O"). Set
  // when the entry is made, never changed: the run's record reads it.
  std::string Identification;

  // The claimed printer's queue name (or "No Install Software"); empty when none. Read by the
  // worker while the GUI thread may clear it on removal, hence the lock.
  std::string GetPrinterName() const;
  void SetPrinterName(std::string name);

  // VidPidText up to its terminator (or its end).
  std::string_view VidPid() const;
  // True when the catalogue gives the entry's product this trait (models::ProductHas).
  bool ProductHas(bool models::ModelRow::*trait) const;

  // Takes note of the links and claims whose parts have left (flag byte 0) and marks them
  // closed: a link's pipes are closed (unless inUse: the running worker may be inside a read on
  // them, and they are closed when its run ends), link 2 frees HvPort; claim 1 frees a TM36's
  // printer, another model's first drive; claim 2 frees a TM36's drive, another model's second.
  // GUI thread. Returns true when all four are closed: the entry stands for nothing any more.
  bool ApplyDepartures(bool inUse);

 private:
  mutable std::mutex textLock_;
  std::string printerName_;
};

// A thread's use of the handle in a slot (a pipe of a link, a drive's handle) for a transfer:
// while it lasts, the handle is not closed under it, so Windows cannot hand its value to the next
// device opened while a request meant for this one is still to be made. Taken and given back on
// the thread that transfers; the slot must outlive it.
class HandleUse {
 public:
  explicit HandleUse(const std::atomic<platform::Handle>& slot);
  ~HandleUse();
  HandleUse(const HandleUse&) = delete;
  HandleUse& operator=(const HandleUse&) = delete;
  // The handle (kInvalidHandle when the slot was empty).
  platform::Handle Get() const { return handle_; }
  // True once the slot no longer holds the handle: it is being closed, and the use should end
  // without another transfer.
  bool Released() const { return slot_.load() != handle_; }

 private:
  const std::atomic<platform::Handle>& slot_;
  platform::Handle handle_;
};

// How long closing a handle waits for its uses to end after cancelling their transfers. A use
// still going then (a tray request a driver holds on to) closes the handle itself at its end.
inline constexpr std::uint32_t kHandleReleaseWaitMs = 2000;

// Empties the slot and closes its handle: at once when nobody uses it; else once its uses have
// ended, their transfers cancelled (within kHandleReleaseWaitMs, or by the last use).
void CloseDeviceHandle(std::atomic<platform::Handle>& handle);

// Empties the slots for a device that is to go, once the transfers on their handles have been
// cancelled and have ended, and hands the caller those handles to close (none for an empty
// slot). All or nothing: when a use outlives kHandleReleaseWaitMs, every slot gets its handle
// back, as if it had never been emptied, and the answer is nullopt.
std::optional<std::vector<platform::Handle>> TakeDeviceHandles(
    std::initializer_list<std::atomic<platform::Handle>*> slots);

// The discovered autoloaders in discovery order; the index is the combo index. Process-wide:
// they outlive every run and every window message. GUI thread (a worker reads only its entry).
using DeviceListType = std::vector<std::unique_ptr<DeviceEntry>>;
extern DeviceListType DeviceList;

// The entry chosen in the combo box, or null. Written on the GUI thread only.
extern DeviceEntry* SelectedDevice;
