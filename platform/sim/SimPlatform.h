// The simulated bench as a platform backend: clock, registry, host facts, events, files and
// "ITEM" resources. Device simulations plug in as DeviceFileProviders and registry content.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/Platform.h"
#include "platform/sim/SimClock.h"
#include "platform/sim/SimFile.h"
#include "platform/sim/SimRegistry.h"
#include "platform/sim/SimUsb.h"

namespace platform::sim {

struct SimOptions {
  SimClock::Mode clockMode = SimClock::Mode::kVirtual;
  LocalTime start = SimClock::kDefaultStart;  // virtual time only
  bool hostFacts = true;  // fill the processor and Windows version keys from this host
  // Where GenRandom's bytes come from in virtual time (a run's identity): the same seed draws
  // the same bytes, so a virtual session is the same every time. Real time draws the host's.
  std::uint64_t randomSeed = 0;
  int utcOffsetMinutes = 60;  // the station's zone in virtual time; real time has the host's
};

class SimPlatform : public Platform {
 public:
  explicit SimPlatform(const SimOptions& options = {});
  ~SimPlatform() override;

  // --- The parts, for the bench loader and tests -----------------------------------------------
  SimClock& Clock() { return clock_; }
  SimRegistry& Registry() { return registry_; }
  // The USB bus, its drives and device notifications (SimUsb.h).
  SimUsb& Usb() { return usb_; }
  // Consulted by CreateFileA in the order added. Any thread.
  void AddDeviceFileProvider(std::shared_ptr<DeviceFileProvider> provider);
  // Fixed memory figures instead of the live host's (deterministic benches); nullopt undoes it.
  void SetMemoryStatus(std::optional<MemoryStatus> status);
  // SetEvent / ResetEvent: nothing in the system signals its events, but the bench may.
  bool SetEvent(Handle event);
  bool ResetEvent(Handle event);
  // DeviceIoControl(handle, code, in, inSize, out, outSize, returned, NULL), routed to the
  // handle's SimFile. False for an unknown handle or an event. Blocking as the device decides.
  bool DeviceIoControl(Handle file, std::uint32_t code, const void* in, std::uint32_t inSize,
                       void* out, std::uint32_t outSize, std::uint32_t* returned) override;
  // Events and files open now (leak checks in tests).
  std::size_t OpenHandleCount() const;
  // True while this handle is an open event or file: CloseHandle has not yet been called on it
  // (handles are never used again). Non-blocking; any thread.
  bool HandleOpen(Handle handle) const;
  // Where PrintEmptyDocument sends its job: the bench's printers (the one with that queue takes
  // the job and ejects its unit's tray) answer whether the queue exists. Without a sink every
  // job fails, as on a machine without that queue. Called on the printing thread. Any thread.
  void SetPrintSink(std::function<bool(const std::string& queue)> sink);

  // --- Platform ----------------------------------------------------------------------------
  LocalTime GetLocalTime() override;
  LocalTime PeekLocalTime() override;
  std::uint64_t MonotonicMs() override;
  // On the clock (SimClock::PauseUntil); the event is not needed.
  void PauseUntil(Handle event, std::uint64_t untilMs) override;
  // The host's name (or the one SetComputerName gave).
  std::string GetComputerNameA() override;
  void SetComputerName(std::string name);
  // Virtual time: the seeded generator's next bytes (in the order of the calls). Real time: the
  // host's source, the seeded generator where it has none.
  bool GenRandom(void* out, std::size_t size) override;
  int UtcOffsetMinutes() override;
  Handle CreateEventA(bool manualReset, bool initialState) override;
  std::uint32_t WaitForSingleObject(Handle event, std::uint32_t timeoutMs) override;
  bool CloseHandle(Handle handle) override;
  std::uint64_t EnrolWorker() override { return clock_.EnrolWorker(); }
  void BeginWorker(std::uint64_t ticket) override { clock_.BeginWorker(ticket); }
  void EndWorker() override { clock_.EndWorker(); }
  // The sim's transfers end on their own within the bound (a hung read waits it out on the
  // clock): a cancel finds nothing to end, but says whether the handle is an open file.
  bool CancelIoEx(Handle file) override;
  long RegOpenKeyExA(const char* subKey, Handle* key) override;
  long RegQueryValueExA(Handle key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                        std::uint32_t* size) override;
  long RegEnumKeyA(Handle key, std::uint32_t index, char* name, std::uint32_t size) override;
  long RegCloseKey(Handle key) override;
  MemoryStatus GlobalMemoryStatus() override;
  Handle CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                     std::uint32_t creation) override;
  bool ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* done) override;
  bool WriteFile(Handle file, const void* buffer, std::uint32_t size, std::uint32_t* done) override;
  // Folders and names: the host's file system (std::filesystem), its errors as Windows' codes.
  bool CreateDirectoryA(const char* path) override;
  std::uint32_t GetFileAttributesA(const char* path) override;
  bool MoveFileExA(const char* from, const char* to, std::uint32_t flags) override;
  bool CreateHardLinkA(const char* link, const char* existing) override;
  bool DeleteFileA(const char* path) override;
  std::span<const std::uint8_t> LoadItemResource(const char* name) override;
  bool PrintEmptyDocument(const char* queueName) override;
  // The calling thread's last error as the sim's calls set it (SetSimLastError), and the texts
  // Windows gives for those codes.
  std::uint32_t GetLastError() override;
  std::string ErrorText(std::uint32_t code) override;
  // USB interfaces, logical drives and notifications: answered by Usb().
  Handle SetupDiGetClassDevsA(const Guid& interfaceClass, std::uint32_t flags) override;
  bool SetupDiEnumDeviceInterfaces(Handle set, const Guid& interfaceClass, std::uint32_t index,
                                   DeviceInterfaceData* data) override;
  bool SetupDiGetDeviceInterfaceDetailA(Handle set, const DeviceInterfaceData& data, char* path,
                                        std::uint32_t size, std::uint32_t* required) override;
  bool SetupDiDestroyDeviceInfoList(Handle set) override;
  std::uint32_t GetLogicalDrives() override;
  std::uint32_t GetLogicalDriveStringsA(std::uint32_t size, char* buffer) override;
  std::uint32_t GetDriveTypeA(const char* root) override;
  Handle RegisterDeviceNotificationA(Handle recipient, const DevBroadcastDeviceInterface& filter,
                                     std::uint32_t flags) override;
  bool UnregisterDeviceNotification(Handle notification) override;
  // Power and the session: nothing sleeps or shuts down here; each call is noted, in order, as
  // "SetThreadExecutionState(0x80000001)", "ShutdownBlockReasonCreate(reason)" or
  // "ShutdownBlockReasonDestroy", and answered as a system that allows it. Any thread.
  std::uint32_t SetThreadExecutionState(std::uint32_t flags) override;
  bool ShutdownBlockReasonCreate(Handle window, const char* reason) override;
  bool ShutdownBlockReasonDestroy(Handle window) override;
  std::vector<std::string> SessionCalls() const;

 private:
  class SimEvent;
  using Object = std::variant<std::shared_ptr<SimEvent>, std::shared_ptr<SimFile>>;

  Handle AddObject(Object object);
  std::shared_ptr<SimEvent> EventOf(Handle handle) const;
  std::shared_ptr<SimFile> FileOf(Handle handle) const;
  std::unique_ptr<SimFile> OpenDeviceFile(std::string_view path, std::uint32_t access,
                                          std::uint32_t share, std::uint32_t creation,
                                          bool* matched);

  SimClock clock_;
  SimRegistry registry_;
  SimUsb usb_{registry_};
  mutable std::mutex mutex_;                    // guards everything below
  std::unordered_map<Handle, Object> objects_;  // looked up at every device call
  Handle nextHandle_;
  std::vector<std::shared_ptr<DeviceFileProvider>> providers_;
  std::optional<MemoryStatus> memoryOverride_;
  std::function<bool(const std::string&)> printSink_;
  std::string computerName_;
  std::vector<std::string> sessionCalls_;
  std::uint32_t executionState_ = kEsContinuous;
  std::uint64_t randomState_;
  int utcOffsetMinutes_;
};

}  // namespace platform::sim
