// The product's platform backend: each operation is the Win32 call it is named after (kernel32,
// advapi32, setupapi, user32 notifications, winspool), through the table of Win32Calls.h where a
// device or the spooler can refuse. Holds the window resolver and, per open device interface,
// its handle notification; every handle it returns is the system's own and is closed by its
// caller. Device interfaces are opened for overlapped I/O, so that no transfer on them outlasts
// kDeviceIoTimeoutMs.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/Platform.h"

namespace platform::win32 {

class Win32Platform : public Platform {
 public:
  // Maps the recipient the system passes to RegisterDeviceNotificationA (the main window as the
  // toolkit identifies it) to its HWND. Without a resolver the recipient is taken as an HWND.
  using WindowResolver = std::function<void*(Handle recipient)>;
  void SetWindowResolver(WindowResolver resolver) { resolver_ = std::move(resolver); }

  LocalTime GetLocalTime() override;
  // QueryPerformanceCounter in milliseconds: finer than the system tick (GetTickCount64 moves in
  // steps of it, 15.6 ms by default), so a pause of 0.3 s is 0.3 s.
  std::uint64_t MonotonicMs() override;
  std::string GetComputerNameA() override;
  bool GenRandom(void* out, std::size_t size) override;
  int UtcOffsetMinutes() override;
  Handle CreateEventA(bool manualReset, bool initialState) override;
  std::uint32_t WaitForSingleObject(Handle event, std::uint32_t timeoutMs) override;
  bool CloseHandle(Handle handle) override;

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
  bool DeviceIoControl(Handle file, std::uint32_t code, const void* in, std::uint32_t inSize,
                       void* out, std::uint32_t outSize, std::uint32_t* returned) override;
  bool CancelIoEx(Handle file) override;

  bool CreateDirectoryA(const char* path) override;
  std::uint32_t GetFileAttributesA(const char* path) override;
  bool MoveFileExA(const char* from, const char* to, std::uint32_t flags) override;
  bool CreateHardLinkA(const char* link, const char* existing) override;
  bool DeleteFileA(const char* path) override;

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

  std::uint32_t SetThreadExecutionState(std::uint32_t flags) override;
  // The recipient is mapped to its HWND by the resolver, as for device notifications.
  bool ShutdownBlockReasonCreate(Handle recipient, const char* reason) override;
  bool ShutdownBlockReasonDestroy(Handle recipient) override;

  bool RegisterHandleNotification(Handle recipient, Handle file) override;
  Handle DetachHandleNotification(Handle file) override;
  Handle HandleNotification(Handle file) override;

  std::uint32_t GetLastError() override;
  std::string ErrorText(std::uint32_t code) override;

  std::span<const std::uint8_t> LoadItemResource(const char* name) override;
  bool PrintEmptyDocument(const char* queueName) override;

 private:
  // An open device: overlapped (a device interface: its transfers are bounded) and its handle
  // notification (an HDEVNOTIFY), or null.
  struct DeviceFile {
    bool overlapped = false;
    void* notification = nullptr;
  };
  bool IsOverlapped(Handle file) const;
  void* Window(Handle recipient) const;

  WindowResolver resolver_;
  mutable std::mutex devicesLock_;  // guards devices_: any thread opens, reads and closes
  std::map<Handle, DeviceFile> devices_;
};

}  // namespace platform::win32
