// setupapi enumeration of device interfaces and user32 device notifications (of an interface
// class, and of one open handle) of the Win32 backend.
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <dbt.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/win32/Win32Calls.h"
#include "platform/win32/Win32Handles.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

Handle Win32Platform::SetupDiGetClassDevsA(const Guid& interfaceClass, std::uint32_t flags) {
  const GUID guid = ToNativeGuid(interfaceClass);
  HDEVINFO set = ::SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
  return set == INVALID_HANDLE_VALUE ? kInvalidHandle : FromNative(set);
}

// The seam's `index` keeps the enumeration index: the detail call enumerates the interface again
// rather than carrying the system's Reserved pointer through the core.
bool Win32Platform::SetupDiEnumDeviceInterfaces(Handle set, const Guid& interfaceClass,
                                                std::uint32_t index, DeviceInterfaceData* data) {
  const GUID guid = ToNativeGuid(interfaceClass);
  SP_DEVICE_INTERFACE_DATA native{};
  native.cbSize = sizeof native;
  if (!::SetupDiEnumDeviceInterfaces(ToNative<HDEVINFO>(set), nullptr, &guid, index, &native)) {
    return false;
  }
  if (data != nullptr) {
    data->interfaceClass = FromNativeGuid(native.InterfaceClassGuid);
    data->flags = native.Flags;
    data->index = index;
  }
  return true;
}

// https://learn.microsoft.com/windows/win32/api/dbt/ns-dbt-dev_broadcast_handle
// The broadcast of a handle event is read where the system put it: in a 32-bit program the
// handle follows the three DWORDs of the header.
static_assert(sizeof(void*) != 4 || offsetof(DEV_BROADCAST_HANDLE, dbch_handle) == 12);
static_assert(sizeof(void*) != 4 || offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify) == 16);

namespace {

constexpr DWORD kDetailHeader = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

// The whole SP_DEVICE_INTERFACE_DETAIL_DATA_A of one interface, in DWORD-aligned storage.
bool ReadDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& native, DWORD needed,
                std::vector<DWORD>& storage) {
  storage.assign(needed / sizeof(DWORD) + 2, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  return ::SetupDiGetDeviceInterfaceDetailA(set, &native, detail, needed, nullptr, nullptr);
}

}  // namespace

// https://learn.microsoft.com/windows/win32/api/setupapi/nf-setupapi-setupdigetdeviceinterfacedetaila
// cbSize is the fixed part's size, not the buffer's; the path follows the header.
bool Win32Platform::SetupDiGetDeviceInterfaceDetailA(Handle set, const DeviceInterfaceData& data,
                                                     char* path, std::uint32_t size,
                                                     std::uint32_t* required) {
  if (required != nullptr) *required = 0;
  HDEVINFO devices = ToNative<HDEVINFO>(set);
  const GUID guid = ToNativeGuid(data.interfaceClass);
  SP_DEVICE_INTERFACE_DATA native{};
  native.cbSize = sizeof native;
  if (!::SetupDiEnumDeviceInterfaces(devices, nullptr, &guid, data.index, &native)) return false;
  DWORD needed = 0;
  ::SetupDiGetDeviceInterfaceDetailA(devices, &native, nullptr, 0, &needed, nullptr);
  if (needed <= kDetailHeader) return false;
  const std::uint32_t pathBytes = needed - kDetailHeader;
  if (required != nullptr) *required = pathBytes;
  if (path == nullptr || size < pathBytes) return false;
  std::vector<DWORD> storage;
  if (!ReadDetail(devices, native, needed, storage)) return false;
  const char* devicePath = reinterpret_cast<const char*>(storage.data()) + kDetailHeader;
  const std::size_t length = strnlen(devicePath, pathBytes);  // never trusted to end in a zero
  const std::size_t copied = length < size ? length : size - 1;
  std::memcpy(path, devicePath, copied);
  path[copied] = '\0';
  return true;
}

bool Win32Platform::SetupDiDestroyDeviceInfoList(Handle set) {
  if (set == kInvalidHandle || set == 0) return false;
  return ::SetupDiDestroyDeviceInfoList(ToNative<HDEVINFO>(set)) != FALSE;
}

// A recipient without a window is refused as the system refuses an unknown window, so that the
// caller's GetLastError tells why rather than what some earlier call left behind.
void* Win32Platform::Window(Handle recipient) const {
  HWND window = resolver_ ? static_cast<HWND>(resolver_(recipient)) : ToNative<HWND>(recipient);
  if (window != nullptr && ::IsWindow(window)) return window;
  ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return nullptr;
}

Handle Win32Platform::RegisterDeviceNotificationA(Handle recipient,
                                                  const DevBroadcastDeviceInterface& filter,
                                                  std::uint32_t flags) {
  HWND window = static_cast<HWND>(Window(recipient));
  if (window == nullptr) return 0;
  DEV_BROADCAST_DEVICEINTERFACE_A native{};
  native.dbcc_size = sizeof native;
  native.dbcc_devicetype = filter.deviceType;
  native.dbcc_classguid = ToNativeGuid(filter.classGuid);
  return FromNative(Calls().RegisterDeviceNotificationA(window, &native, flags));
}

// https://learn.microsoft.com/windows/win32/devio/processing-a-request-to-remove-a-device
// The notification is kept with the handle, so that CloseHandle ends it first.
bool Win32Platform::RegisterHandleNotification(Handle recipient, Handle file) {
  HWND window = static_cast<HWND>(Window(recipient));
  if (window == nullptr || file == kInvalidHandle || file == 0) return false;
  DEV_BROADCAST_HANDLE filter{};
  filter.dbch_size = sizeof filter;
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = ToNative<HANDLE>(file);
  HDEVNOTIFY notification =
      Calls().RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (notification == nullptr) return false;
  std::lock_guard lock(devicesLock_);
  DeviceFile& device = devices_[file];
  if (device.notification != nullptr) {
    Calls().UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(device.notification));
  }
  device.notification = notification;
  return true;
}

Handle Win32Platform::DetachHandleNotification(Handle file) {
  std::lock_guard lock(devicesLock_);
  const auto found = devices_.find(file);
  if (found == devices_.end() || found->second.notification == nullptr) return 0;
  return FromNative(std::exchange(found->second.notification, nullptr));
}

Handle Win32Platform::HandleNotification(Handle file) {
  std::lock_guard lock(devicesLock_);
  const auto found = devices_.find(file);
  return found == devices_.end() ? 0 : FromNative(found->second.notification);
}

bool Win32Platform::UnregisterDeviceNotification(Handle notification) {
  if (notification == 0) return false;
  return Calls().UnregisterDeviceNotification(ToNative<HDEVNOTIFY>(notification)) != FALSE;
}

}  // namespace platform::win32
