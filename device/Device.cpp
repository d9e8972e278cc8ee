// DeviceEntry, DeviceList and SelectedDevice.
#include "device/Device.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

DeviceListType DeviceList;
DeviceEntry* SelectedDevice = nullptr;

DeviceEntry::DeviceEntry() = default;

// An entry closes the pipes it still holds when it is freed, so that no path of removal or
// shut-down can leak a handle.
DeviceEntry::~DeviceEntry() {
  CloseDeviceHandle(Link1Read);
  CloseDeviceHandle(Link1Write);
  CloseDeviceHandle(Link2Read);
  CloseDeviceHandle(Link2Write);
}

std::string DeviceEntry::GetPrinterName() const {
  std::lock_guard<std::mutex> lock(textLock_);
  return printerName_;
}

void DeviceEntry::SetPrinterName(std::string name) {
  std::lock_guard<std::mutex> lock(textLock_);
  printerName_ = std::move(name);
}

std::string_view DeviceEntry::VidPid() const {
  return std::string_view(VidPidText, strnlen(VidPidText, sizeof(VidPidText)));
}

bool DeviceEntry::ProductHas(bool models::ModelRow::*trait) const {
  return models::ProductHas(VidPid(), trait);
}

bool DeviceEntry::ApplyDepartures(bool inUse) {
  const bool printerUnit = ProductHas(&models::ModelRow::printer);
  if (Link1Flag.load() == kFlagDeparted) {
    if (!inUse) {
      CloseDeviceHandle(Link1Read);
      CloseDeviceHandle(Link1Write);
    }
    Link1Flag = kFlagClosed;
  }
  if (Claim1Flag.load() == kFlagDeparted) {
    if (printerUnit) {
      PrinterPort = 0;
      SetPrinterName({});
    } else if (DriveLetter1.load() != 0) {
      DriveLetter1 = 0;
      if (DriveCount.load() != 0) DriveCount.fetch_sub(1);
    }
    Claim1Flag = kFlagClosed;
  }
  if (Link2Flag.load() == kFlagDeparted) {
    if (!inUse) {
      CloseDeviceHandle(Link2Read);
      CloseDeviceHandle(Link2Write);
    }
    HvPort = 0;
    Link2Flag = kFlagClosed;
  }
  if (Claim2Flag.load() == kFlagDeparted) {
    if (printerUnit) {
      if (DriveCount.load() != 0) {
        DriveCount = 0;
        DriveLetter1 = 0;
      }
    } else if (DriveLetter2.load() != 0) {
      DriveLetter2 = 0;
      if (DriveCount.load() != 0) DriveCount.fetch_sub(1);
    }
    Claim2Flag = kFlagClosed;
  }
  return Link1Flag.load() == kFlagClosed && Claim1Flag.load() == kFlagClosed &&
         Link2Flag.load() == kFlagClosed && Claim2Flag.load() == kFlagClosed;
}

namespace {

// The handles in use, by slot and handle: a slot emptied and filled again (a removal refused)
// keeps the uses of its old handle apart from those of its new one.
// One map behind one mutex for every slot of every unit: a closer must see each use of a handle,
// whichever thread made it, and TakeDeviceHandles empties a link's two pipes together. Every
// exchange takes the mutex only to count a use in or out, never across a transfer or a pause
// (the closer's wait gives it up), so runs on different units contend for a few instructions
// at most.
struct HandleUses {
  struct Use {
    int count = 0;
    bool closeAtEnd = false;  // the closer gave up waiting: the last use closes the handle
  };
  std::mutex mutex;
  std::condition_variable ended;
  std::map<std::pair<const void*, platform::Handle>, Use> uses;
};

HandleUses& Uses() {
  static HandleUses uses;
  return uses;
}

// A cancel reaches only the transfers already started: the closer repeats it this often while
// it waits, for a use that starts one more before it sees its handle go.
constexpr auto kCancelRepeat = std::chrono::milliseconds(100);

}  // namespace

HandleUse::HandleUse(const std::atomic<platform::Handle>& slot)
    : slot_(slot), handle_(platform::kInvalidHandle) {
  HandleUses& all = Uses();
  std::lock_guard lock(all.mutex);  // the closer empties the slot under it: taken or not at all
  handle_ = slot.load();
  if (handle_ != platform::kInvalidHandle) ++all.uses[{&slot, handle_}].count;
}

HandleUse::~HandleUse() {
  if (handle_ == platform::kInvalidHandle) return;
  HandleUses& all = Uses();
  bool close = false;
  {
    std::lock_guard lock(all.mutex);
    const auto found = all.uses.find({&slot_, handle_});
    if (found == all.uses.end() || --found->second.count > 0) return;
    close = found->second.closeAtEnd;
    all.uses.erase(found);
  }
  all.ended.notify_all();
  if (close) platform::ThePlatform().CloseHandle(handle_);
}

namespace {

using UseKey = std::pair<const void*, platform::Handle>;

// Cancels the transfers of the uses of `keys` until none is left or kHandleReleaseWaitMs have
// passed; true when none is left. The slots are empty already, so no new use begins. Called and
// returns with the lock held.
bool UsesEnded(HandleUses& all, std::unique_lock<std::mutex>& lock,
               const std::vector<UseKey>& keys) {
  auto inUse = [&] {
    std::vector<platform::Handle> used;
    for (const UseKey& key : keys) {
      if (all.uses.contains(key)) used.push_back(key.second);
    }
    return used;
  };
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kHandleReleaseWaitMs);
  for (std::vector<platform::Handle> used = inUse();
       !used.empty() && std::chrono::steady_clock::now() < deadline; used = inUse()) {
    lock.unlock();
    for (platform::Handle h : used) platform::ThePlatform().CancelIoEx(h);
    lock.lock();
    all.ended.wait_for(lock, kCancelRepeat, [&] { return inUse().empty(); });
  }
  return inUse().empty();
}

}  // namespace

void CloseDeviceHandle(std::atomic<platform::Handle>& handle) {
  HandleUses& all = Uses();
  std::unique_lock lock(all.mutex);
  const platform::Handle h = handle.exchange(platform::kInvalidHandle);
  if (h == platform::kInvalidHandle) return;
  const UseKey key{&handle, h};
  if (!UsesEnded(all, lock, {key})) {
    all.uses[key].closeAtEnd = true;
    return;
  }
  lock.unlock();
  platform::ThePlatform().CloseHandle(h);
}

std::optional<std::vector<platform::Handle>> TakeDeviceHandles(
    std::initializer_list<std::atomic<platform::Handle>*> slots) {
  HandleUses& all = Uses();
  std::unique_lock lock(all.mutex);
  std::vector<std::atomic<platform::Handle>*> emptied;
  std::vector<UseKey> taken;
  for (std::atomic<platform::Handle>* slot : slots) {
    const platform::Handle h = slot->exchange(platform::kInvalidHandle);
    if (h == platform::kInvalidHandle) continue;
    emptied.push_back(slot);
    taken.emplace_back(slot, h);
  }
  if (!UsesEnded(all, lock, taken)) {
    // Given back under the lock: a use that begins now finds the handle as before.
    for (std::size_t i = 0; i < emptied.size(); ++i) emptied[i]->store(taken[i].second);
    return std::nullopt;
  }
  std::vector<platform::Handle> handles;
  handles.reserve(taken.size());
  for (const UseKey& key : taken) handles.push_back(key.second);
  return handles;
}
