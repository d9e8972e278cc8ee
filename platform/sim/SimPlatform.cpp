// The simulated bench as a platform backend.
#include "platform/sim/SimPlatform.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/sim/HostFacts.h"
#include "platform/sim/ItemResources.h"

namespace platform::sim {

// An event: virtual waits never block (the clock jumps); real waits block on a condition
// variable until signalled or timed out on the steady clock.
class SimPlatform::SimEvent {
 public:
  SimEvent(bool manualReset, bool initialState)
      : manualReset_(manualReset), signalled_(initialState) {}

  void Set() {
    {
      std::lock_guard lock(mutex_);
      signalled_ = true;
    }
    changed_.notify_all();
  }

  void Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }

  std::uint32_t Wait(SimClock& clock, std::uint32_t ms) {
    std::unique_lock lock(mutex_);
    if (clock.GetMode() == SimClock::Mode::kVirtual) {
      if (TakeLocked()) return kWaitObject0;
      lock.unlock();
      clock.Wait(ms);
      return kWaitTimeout;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    changed_.wait_until(lock, deadline, [this] { return signalled_; });
    if (TakeLocked()) return kWaitObject0;
    clock.AddWaited(ms);
    return kWaitTimeout;
  }

 private:
  // A successful wait on an auto-reset event consumes the signal.
  bool TakeLocked() {
    if (!signalled_) return false;
    if (!manualReset_) signalled_ = false;
    return true;
  }

  const bool manualReset_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_;
};

namespace {

thread_local std::uint32_t lastError = 0;

}  // namespace

void SetSimLastError(std::uint32_t code) {
  lastError = code;
}

std::uint32_t SimLastError() {
  return lastError;
}

namespace {

bool FailWith(const std::error_code& ec);

// What the host's C library said of the last failed call, as the platform's last error.
bool FailWithErrno() {
  return FailWith(std::error_code(errno, std::generic_category()));
}

// A file of the host's file system, for "Test.log". Share modes are not enforced.
class RealFile : public SimFile {
 public:
  RealFile(std::FILE* file, std::uint32_t access) : file_(file), access_(access) {}
  ~RealFile() override { Close(); }

  bool Read(std::span<std::uint8_t> buffer, std::uint32_t* done) override {
    std::lock_guard lock(mutex_);
    if (file_ == nullptr || (access_ & kGenericRead) == 0) return false;
    SwitchDirection(Direction::kRead);
    *done = static_cast<std::uint32_t>(std::fread(buffer.data(), 1, buffer.size(), file_));
    return *done == buffer.size() || !std::ferror(file_);
  }

  bool Write(std::span<const std::uint8_t> data, std::uint32_t* done) override {
    std::lock_guard lock(mutex_);
    if (file_ == nullptr || (access_ & kGenericWrite) == 0) return false;
    SwitchDirection(Direction::kWrite);
    errno = 0;
    *done = static_cast<std::uint32_t>(std::fwrite(data.data(), 1, data.size(), file_));
    // WriteFile leaves nothing in a user-space buffer; another reader sees the bytes at once.
    if (std::fflush(file_) == 0 && *done == data.size()) return true;
    return FailWithErrno();
  }

  void Close() override {
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
  }

 private:
  enum class Direction { kNone, kRead, kWrite };

  // C streams need a seek between reading and writing; Win32 handles do not.
  void SwitchDirection(Direction next) {
    if (last_ != Direction::kNone && last_ != next) std::fseek(file_, 0, SEEK_CUR);
    last_ = next;
  }

  std::mutex mutex_;
  std::FILE* file_;
  const std::uint32_t access_;
  Direction last_ = Direction::kNone;
};

// fopen's mode for the CreateFileA dispositions the system uses; null for the others.
const char* OpenMode(std::uint32_t access, std::uint32_t creation) {
  const bool read = (access & kGenericRead) != 0;
  const bool write = (access & kGenericWrite) != 0;
  if (creation == kCreateAlways) return read ? "w+b" : "wb";
  if (creation == kOpenExisting) return write ? "r+b" : "rb";
  return nullptr;
}

// Handles of events and files count up in steps of 4 like Windows' and are never reused, so a
// stale handle fails instead of reaching a newer object.
constexpr Handle kFirstObjectHandle = 0x100;
constexpr Handle kObjectHandleStep = 4;

}  // namespace

SimPlatform::SimPlatform(const SimOptions& options)
    : clock_(options.clockMode, options.start),
      nextHandle_(kFirstObjectHandle),
      randomState_(options.randomSeed),
      utcOffsetMinutes_(options.utcOffsetMinutes) {
  if (options.hostFacts) AddHostKeys(registry_, ReadHostFacts());
  AddDeviceFileProvider(usb_.FileProvider());
}

SimPlatform::~SimPlatform() {
  for (auto& [handle, object] : objects_) {
    if (auto* file = std::get_if<std::shared_ptr<SimFile>>(&object)) (*file)->Close();
  }
}

void SimPlatform::AddDeviceFileProvider(std::shared_ptr<DeviceFileProvider> provider) {
  std::lock_guard lock(mutex_);
  providers_.push_back(std::move(provider));
}

void SimPlatform::SetMemoryStatus(std::optional<MemoryStatus> status) {
  std::lock_guard lock(mutex_);
  memoryOverride_ = status;
}

Handle SimPlatform::AddObject(Object object) {
  std::lock_guard lock(mutex_);
  const Handle handle = nextHandle_;
  nextHandle_ += kObjectHandleStep;
  objects_.emplace(handle, std::move(object));
  return handle;
}

std::shared_ptr<SimPlatform::SimEvent> SimPlatform::EventOf(Handle handle) const {
  std::lock_guard lock(mutex_);
  const auto it = objects_.find(handle);
  if (it == objects_.end()) return nullptr;
  const auto* event = std::get_if<std::shared_ptr<SimEvent>>(&it->second);
  return event ? *event : nullptr;
}

std::shared_ptr<SimFile> SimPlatform::FileOf(Handle handle) const {
  std::lock_guard lock(mutex_);
  const auto it = objects_.find(handle);
  if (it == objects_.end()) return nullptr;
  const auto* file = std::get_if<std::shared_ptr<SimFile>>(&it->second);
  return file ? *file : nullptr;
}

std::size_t SimPlatform::OpenHandleCount() const {
  std::lock_guard lock(mutex_);
  return objects_.size();
}

bool SimPlatform::HandleOpen(Handle handle) const {
  std::lock_guard lock(mutex_);
  return objects_.contains(handle);
}

LocalTime SimPlatform::GetLocalTime() {
  return clock_.GetLocalTime();
}

LocalTime SimPlatform::PeekLocalTime() {
  return clock_.PeekLocalTime();
}

std::uint64_t SimPlatform::MonotonicMs() {
  return clock_.MonotonicMs();
}

void SimPlatform::PauseUntil(Handle /*event*/, std::uint64_t untilMs) {
  clock_.PauseUntil(untilMs);
}

std::string SimPlatform::GetComputerNameA() {
  std::lock_guard lock(mutex_);
  if (computerName_.empty()) computerName_ = ReadHostName();
  return computerName_;
}

void SimPlatform::SetComputerName(std::string name) {
  std::lock_guard lock(mutex_);
  computerName_ = std::move(name);
}

bool SimPlatform::GenRandom(void* out, std::size_t size) {
  if (clock_.GetMode() == SimClock::Mode::kReal && ReadHostRandom(out, size)) return true;
  auto* bytes = static_cast<unsigned char*>(out);
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < size; i += 8) {
    // splitmix64: every seed, 0 too, gives well-mixed words.
    std::uint64_t z = (randomState_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    for (std::size_t b = 0; b < 8 && i + b < size; ++b)
      bytes[i + b] = static_cast<unsigned char>(z >> (8 * b));
  }
  return true;
}

int SimPlatform::UtcOffsetMinutes() {
  return clock_.GetMode() == SimClock::Mode::kReal ? ReadHostUtcOffset() : utcOffsetMinutes_;
}

Handle SimPlatform::CreateEventA(bool manualReset, bool initialState) {
  return AddObject(std::make_shared<SimEvent>(manualReset, initialState));
}

std::uint32_t SimPlatform::WaitForSingleObject(Handle event, std::uint32_t timeoutMs) {
  const std::shared_ptr<SimEvent> target = EventOf(event);
  if (target) return target->Wait(clock_, timeoutMs);
  // An unknown handle still pauses, so a caller's pacing holds even with a broken handle.
  clock_.Wait(timeoutMs);
  return kWaitTimeout;
}

bool SimPlatform::SetEvent(Handle event) {
  const std::shared_ptr<SimEvent> target = EventOf(event);
  if (target) target->Set();
  return target != nullptr;
}

bool SimPlatform::ResetEvent(Handle event) {
  const std::shared_ptr<SimEvent> target = EventOf(event);
  if (target) target->Reset();
  return target != nullptr;
}

bool SimPlatform::CloseHandle(Handle handle) {
  Object object;
  {
    std::lock_guard lock(mutex_);
    const auto it = objects_.find(handle);
    if (it == objects_.end()) return false;
    object = std::move(it->second);
    objects_.erase(it);
  }
  // Outside the lock: a device's Close may have to wake a reader first.
  if (auto* file = std::get_if<std::shared_ptr<SimFile>>(&object)) (*file)->Close();
  return true;
}

bool SimPlatform::CancelIoEx(Handle file) {
  std::lock_guard lock(mutex_);
  const auto it = objects_.find(file);
  return it != objects_.end() && std::holds_alternative<std::shared_ptr<SimFile>>(it->second);
}

long SimPlatform::RegOpenKeyExA(const char* subKey, Handle* key) {
  return registry_.OpenKey(subKey, key);
}

long SimPlatform::RegQueryValueExA(Handle key, const char* valueName, std::uint32_t* type,
                                   std::uint8_t* data, std::uint32_t* size) {
  return registry_.QueryValue(key, valueName, type, data, size);
}

long SimPlatform::RegEnumKeyA(Handle key, std::uint32_t index, char* name, std::uint32_t size) {
  return registry_.EnumKey(key, index, name, size);
}

long SimPlatform::RegCloseKey(Handle key) {
  return registry_.CloseKey(key);
}

MemoryStatus SimPlatform::GlobalMemoryStatus() {
  {
    std::lock_guard lock(mutex_);
    if (memoryOverride_) return *memoryOverride_;
  }
  return ReadHostMemoryStatus();
}

std::unique_ptr<SimFile> SimPlatform::OpenDeviceFile(std::string_view path, std::uint32_t access,
                                                     std::uint32_t share, std::uint32_t creation,
                                                     bool* matched) {
  std::vector<std::shared_ptr<DeviceFileProvider>> providers;
  {
    std::lock_guard lock(mutex_);
    providers = providers_;
  }
  for (const auto& provider : providers) {
    DeviceOpen opened = provider->Open(path, access, share, creation);
    if (!opened.mine) continue;
    *matched = true;
    return std::move(opened.file);
  }
  *matched = false;
  return nullptr;
}

Handle SimPlatform::CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                                std::uint32_t creation) {
  if (path == nullptr || *path == '\0') return kInvalidHandle;
  bool matched = false;
  std::unique_ptr<SimFile> device = OpenDeviceFile(path, access, share, creation, &matched);
  SetSimLastError(kErrorFileNotFound);
  if (matched)
    return device ? AddObject(std::shared_ptr<SimFile>(std::move(device))) : kInvalidHandle;
  // "\\.\" and "\\?\" name devices; without a provider there is no such device, and the host's
  // file system must not be asked for it.
  if (path[0] == '\\' && path[1] == '\\') return kInvalidHandle;
  const char* mode = OpenMode(access, creation);
  if (mode == nullptr) return kInvalidHandle;
  std::FILE* file = std::fopen(path, mode);
  if (file == nullptr) {
    FailWithErrno();
    return kInvalidHandle;
  }
  return AddObject(std::make_shared<RealFile>(file, access));
}

bool SimPlatform::ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* done) {
  std::uint32_t moved = 0;
  if (done == nullptr) done = &moved;
  *done = 0;
  const std::shared_ptr<SimFile> target = FileOf(file);
  if (!target || (buffer == nullptr && size != 0)) return false;
  if (target->ReadPending()) {
    // The Win32 backend's bound: the read is waited for, cancelled, and fails.
    clock_.Wait(kDeviceIoTimeoutMs);
    SetSimLastError(kErrorOperationAborted);
    return false;
  }
  return target->Read({static_cast<std::uint8_t*>(buffer), size}, done);
}

bool SimPlatform::WriteFile(Handle file, const void* buffer, std::uint32_t size,
                            std::uint32_t* done) {
  std::uint32_t moved = 0;
  if (done == nullptr) done = &moved;
  *done = 0;
  const std::shared_ptr<SimFile> target = FileOf(file);
  if (!target || (buffer == nullptr && size != 0)) return false;
  return target->Write({static_cast<const std::uint8_t*>(buffer), size}, done);
}

bool SimPlatform::DeviceIoControl(Handle file, std::uint32_t code, const void* in,
                                  std::uint32_t inSize, void* out, std::uint32_t outSize,
                                  std::uint32_t* returned) {
  std::uint32_t moved = 0;
  if (returned == nullptr) returned = &moved;
  *returned = 0;
  const std::shared_ptr<SimFile> target = FileOf(file);
  SetSimLastError(kErrorInvalidParameter);  // unless the device says otherwise
  if (!target || (in == nullptr && inSize != 0) || (out == nullptr && outSize != 0)) return false;
  return target->DeviceIoControl(code, {static_cast<const std::uint8_t*>(in), inSize},
                                 {static_cast<std::uint8_t*>(out), outSize}, returned);
}

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorNotSameDevice = 17;
constexpr std::uint32_t kErrorGenFailure = 31;
constexpr std::uint32_t kErrorDiskFull = 112;
constexpr std::uint32_t kFileAttributeNormal = 0x80;

// The Windows code for what the host's file system said, and false (the call failed).
bool FailWith(const std::error_code& ec) {
  std::uint32_t code = kErrorGenFailure;
  if (ec == std::errc::file_exists) {
    code = kErrorAlreadyExists;
  } else if (ec == std::errc::no_such_file_or_directory) {
    code = kErrorFileNotFound;
  } else if (ec == std::errc::not_a_directory) {
    code = kErrorPathNotFound;
  } else if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted ||
             ec == std::errc::read_only_file_system || ec == std::errc::is_a_directory ||
             ec == std::errc::device_or_resource_busy) {
    code = kErrorAccessDenied;
  } else if (ec == std::errc::invalid_argument) {
    code = kErrorInvalidParameter;
  } else if (ec == std::errc::no_space_on_device) {
    code = kErrorDiskFull;
  } else if (ec == std::errc::cross_device_link) {
    code = kErrorNotSameDevice;
  } else if (ec == std::errc::operation_not_supported || ec == std::errc::function_not_supported) {
    code = kErrorInvalidFunction;
  }
  SetSimLastError(code);
  return false;
}

}  // namespace

bool SimPlatform::CreateDirectoryA(const char* path) {
  if (path == nullptr || *path == '\0')
    return FailWith(std::make_error_code(std::errc::invalid_argument));
  std::error_code ec;
  if (fs::create_directory(path, ec)) return true;
  return FailWith(ec ? ec : std::make_error_code(std::errc::file_exists));
}

std::uint32_t SimPlatform::GetFileAttributesA(const char* path) {
  if (path == nullptr || *path == '\0') return kInvalidFileAttributes;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) {
    FailWith(ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory));
    return kInvalidFileAttributes;
  }
  return fs::is_directory(status) ? kFileAttributeDirectory : kFileAttributeNormal;
}

// A host rename replaces whatever it finds; MoveFileExA without the flag never does.
bool SimPlatform::MoveFileExA(const char* from, const char* to, std::uint32_t flags) {
  if (from == nullptr || to == nullptr)
    return FailWith(std::make_error_code(std::errc::invalid_argument));
  std::error_code ec;
  // Checked here: a failed host rename does not say why on every host (MinGW's says EIO).
  if (!fs::exists(fs::symlink_status(from, ec))) {
    return FailWith(std::make_error_code(std::errc::no_such_file_or_directory));
  }
  const fs::file_status target = fs::symlink_status(to, ec);
  if (fs::exists(target) && ((flags & kMovefileReplaceExisting) == 0 || fs::is_directory(target))) {
    return FailWith(std::make_error_code(std::errc::file_exists));
  }
  fs::rename(from, to, ec);
  return ec ? FailWith(ec) : true;
}

bool SimPlatform::CreateHardLinkA(const char* link, const char* existing) {
  if (link == nullptr || existing == nullptr)
    return FailWith(std::make_error_code(std::errc::invalid_argument));
  std::error_code ec;
  fs::create_hard_link(existing, link, ec);
  return ec ? FailWith(ec) : true;
}

bool SimPlatform::DeleteFileA(const char* path) {
  if (path == nullptr) return FailWith(std::make_error_code(std::errc::invalid_argument));
  std::error_code ec;
  if (fs::is_directory(path, ec)) return FailWith(std::make_error_code(std::errc::is_a_directory));
  if (fs::remove(path, ec)) return true;
  return FailWith(ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory));
}

std::uint32_t SimPlatform::GetLastError() {
  return SimLastError();
}

// The system's texts of the codes the sim gives.
std::string SimPlatform::ErrorText(std::uint32_t code) {
  switch (code) {
    case kErrorFileNotFound:
      return "The system cannot find the file specified.";
    case kErrorAccessDenied:
      return "Access is denied.";
    case kErrorAlreadyExists:
      return "Cannot create a file when that file already exists.";
    case kErrorPathNotFound:
      return "The system cannot find the path specified.";
    case kErrorDiskFull:
      return "There is not enough space on the disk.";
    case kErrorNotSameDevice:
      return "The system cannot move the file to a different disk drive.";
    case kErrorInvalidFunction:
      return "Incorrect function.";
    case kErrorGenFailure:
      return "A device attached to the system is not functioning.";
    case kErrorInvalidParameter:
      return "The parameter is incorrect.";
    case kErrorMoreData:
      return "More data is available.";
    case kErrorOperationAborted:
      return "The I/O operation has been aborted because of either a thread exit or an "
             "application request.";
    default:
      return Platform::ErrorText(code);
  }
}

std::span<const std::uint8_t> SimPlatform::LoadItemResource(const char* name) {
  if (name == nullptr) return {};
  return FindItemResource(name);
}

void SimPlatform::SetPrintSink(std::function<bool(const std::string& queue)> sink) {
  std::lock_guard lock(mutex_);
  printSink_ = std::move(sink);
}

bool SimPlatform::PrintEmptyDocument(const char* queueName) {
  if (queueName == nullptr) return false;
  std::function<bool(const std::string&)> sink;
  {
    std::lock_guard lock(mutex_);
    sink = printSink_;
  }
  // Outside the lock: the bench takes its own lock and may call back into the platform's clock.
  return sink ? sink(queueName) : false;
}

Handle SimPlatform::SetupDiGetClassDevsA(const Guid& interfaceClass, std::uint32_t flags) {
  return usb_.SetupDiGetClassDevsA(interfaceClass, flags);
}

bool SimPlatform::SetupDiEnumDeviceInterfaces(Handle set, const Guid& interfaceClass,
                                              std::uint32_t index, DeviceInterfaceData* data) {
  return usb_.SetupDiEnumDeviceInterfaces(set, interfaceClass, index, data);
}

bool SimPlatform::SetupDiGetDeviceInterfaceDetailA(Handle set, const DeviceInterfaceData& data,
                                                   char* path, std::uint32_t size,
                                                   std::uint32_t* required) {
  return usb_.SetupDiGetDeviceInterfaceDetailA(set, data, path, size, required);
}

bool SimPlatform::SetupDiDestroyDeviceInfoList(Handle set) {
  return usb_.SetupDiDestroyDeviceInfoList(set);
}

std::uint32_t SimPlatform::GetLogicalDrives() {
  return usb_.GetLogicalDrives();
}

std::uint32_t SimPlatform::GetLogicalDriveStringsA(std::uint32_t size, char* buffer) {
  return usb_.GetLogicalDriveStringsA(size, buffer);
}

std::uint32_t SimPlatform::GetDriveTypeA(const char* root) {
  return usb_.GetDriveTypeA(root);
}

Handle SimPlatform::RegisterDeviceNotificationA(Handle recipient,
                                                const DevBroadcastDeviceInterface& filter,
                                                std::uint32_t flags) {
  return usb_.RegisterDeviceNotificationA(recipient, filter, flags);
}

bool SimPlatform::UnregisterDeviceNotification(Handle notification) {
  return usb_.UnregisterDeviceNotification(notification);
}

std::uint32_t SimPlatform::SetThreadExecutionState(std::uint32_t flags) {
  char call[48];
  std::snprintf(call, sizeof call, "SetThreadExecutionState(0x%08X)", static_cast<unsigned>(flags));
  std::lock_guard lock(mutex_);
  sessionCalls_.emplace_back(call);
  const std::uint32_t before = executionState_;
  if ((flags & kEsContinuous) != 0) executionState_ = flags;
  return before;
}

bool SimPlatform::ShutdownBlockReasonCreate(Handle /*window*/, const char* reason) {
  std::lock_guard lock(mutex_);
  sessionCalls_.push_back(std::string("ShutdownBlockReasonCreate(") +
                          (reason != nullptr ? reason : "") + ")");
  return true;
}

bool SimPlatform::ShutdownBlockReasonDestroy(Handle /*window*/) {
  std::lock_guard lock(mutex_);
  sessionCalls_.emplace_back("ShutdownBlockReasonDestroy");
  return true;
}

std::vector<std::string> SimPlatform::SessionCalls() const {
  std::lock_guard lock(mutex_);
  return sessionCalls_;
}

}  // namespace platform::sim
