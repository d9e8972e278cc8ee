// kernel32 operations of the Win32 backend: local time, the monotonic clock, events and waits,
// files and device controls (bounded on device interfaces), memory status, logical drives and
// error texts. Each is the Win32 call of the same name.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/Win32Calls.h"
#include "platform/win32/Win32Handles.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

LocalTime Win32Platform::GetLocalTime() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return LocalTime{
      now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds / 10};
}

// https://learn.microsoft.com/windows/win32/sysinfo/acquiring-high-resolution-time-stamps:
// intervals are measured on the performance counter, never on the time of day. Both calls
// always succeed since Windows XP; the tick count stands in should they not.
std::uint64_t Win32Platform::MonotonicMs() {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER count{};
  if (!Calls().QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 ||
      !Calls().QueryPerformanceCounter(&count) || count.QuadPart < 0) {
    return ::GetTickCount64();
  }
  // Whole seconds and the rest apart: count * 1000 would overflow after a few months.
  const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
  const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
  return ticks / perSecond * 1000 + ticks % perSecond * 1000 / perSecond;
}

Handle Win32Platform::CreateEventA(bool manualReset, bool initialState) {
  HANDLE event = ::CreateEventA(nullptr, manualReset, initialState, nullptr);
  return event == nullptr ? kInvalidHandle : FromNative(event);
}

// An unusable handle makes WaitForSingleObject fail at once; the seam promises a timed wait
// that ends in a time-out, so the caller's pause keeps its length (an infinite one is not
// honoured: nothing could ever end it).
std::uint32_t Win32Platform::WaitForSingleObject(Handle event, std::uint32_t timeoutMs) {
  const DWORD result = ::WaitForSingleObject(ToNative<HANDLE>(event), timeoutMs);
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return kWaitObject0;
  if (result == WAIT_FAILED && timeoutMs != INFINITE) ::Sleep(timeoutMs);
  return kWaitTimeout;
}

// INVALID_HANDLE_VALUE doubles as the current-process pseudo-handle, which CloseHandle
// "closes" successfully; the seam calls it unknown. A handle notification ends before its
// handle: the system asks that it be unregistered first.
bool Win32Platform::CloseHandle(Handle handle) {
  if (handle == kInvalidHandle || handle == 0) return false;
  {
    std::lock_guard lock(devicesLock_);
    const auto found = devices_.find(handle);
    if (found != devices_.end()) {
      if (found->second.notification != nullptr) {
        Calls().UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(found->second.notification));
      }
      devices_.erase(found);
    }
  }
  return ::CloseHandle(ToNative<HANDLE>(handle)) != FALSE;
}

MemoryStatus Win32Platform::GlobalMemoryStatus() {
  MEMORYSTATUS status{};
  status.dwLength = sizeof status;
  ::GlobalMemoryStatus(&status);
  return MemoryStatus{static_cast<std::uint32_t>(status.dwTotalPhys),
                      static_cast<std::uint32_t>(status.dwAvailPhys)};
}

namespace {

// A device interface path ("\\?\usb#..."): a hub or a command pipe. Drives ("\\.\E:") are not
// among them: their tray requests may take as long as the tray needs.
bool IsDeviceInterfacePath(const char* path) {
  return path != nullptr && std::strncmp(path, "\\\\?\\", 4) == 0;
}

// One overlapped transfer. Its OVERLAPPED, event and bytes live on the heap: a driver that
// ignores the cancel may still write to them later, and such a transfer is then left to the
// system rather than freed under it (a few dozen bytes per hung transfer).
struct Transfer {
  explicit Transfer(std::size_t size) : bytes(size) {
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~Transfer() {
    if (overlapped.hEvent != nullptr) ::CloseHandle(overlapped.hEvent);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  OVERLAPPED overlapped{};
  std::vector<std::uint8_t> bytes;
};

// https://learn.microsoft.com/windows/win32/fileio/canceling-pending-i-o-operations
// Waits for a started transfer at most kDeviceIoTimeoutMs, then cancels it and waits as long
// again for the cancel. Returns as the synchronous call would (the thread's last error included;
// ERROR_MORE_DATA keeps the count of the bytes that fitted); *abandoned when the driver still
// holds the transfer.
bool Finish(HANDLE file, Transfer& transfer, BOOL started, DWORD* moved, bool* abandoned) {
  *moved = 0;
  *abandoned = false;
  OVERLAPPED* overlapped = &transfer.overlapped;
  if (!started) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_MORE_DATA) {
      Calls().GetOverlappedResult(file, overlapped, moved, FALSE);
      ::SetLastError(error);
      return false;
    }
    if (error != ERROR_IO_PENDING) return false;
    if (::WaitForSingleObject(overlapped->hEvent, kDeviceIoTimeoutMs) != WAIT_OBJECT_0) {
      Calls().CancelIoEx(file, overlapped);
      if (::WaitForSingleObject(overlapped->hEvent, kDeviceIoTimeoutMs) != WAIT_OBJECT_0) {
        *abandoned = true;
        ::SetLastError(ERROR_OPERATION_ABORTED);
        return false;
      }
    }
  }
  if (Calls().GetOverlappedResult(file, overlapped, moved, FALSE)) return true;
  const DWORD error = ::GetLastError();
  if (error != ERROR_MORE_DATA) *moved = 0;
  ::SetLastError(error);
  return false;
}

// Runs one overlapped transfer on `size` bytes of its own (the first inSize copied from `in`),
// then copies up to outSize of the bytes it moved to `out` (when not null); *done gets that
// count.
template <typename Start>
bool Bounded(HANDLE file, std::size_t size, const void* in, std::size_t inSize, void* out,
             std::size_t outSize, std::uint32_t* done, Start start) {
  auto transfer = std::make_unique<Transfer>(size);
  if (transfer->overlapped.hEvent == nullptr) return false;
  if (in != nullptr && inSize > 0) std::memcpy(transfer->bytes.data(), in, inSize);
  DWORD moved = 0;
  bool abandoned = false;
  const bool ok = Finish(file, *transfer, start(*transfer), &moved, &abandoned);
  if (abandoned) {
    (void)transfer.release();  // NOLINT(bugprone-unused-return-value): the driver owns it now
    return false;
  }
  const std::size_t copied = std::min<std::size_t>(moved, outSize);
  if (out != nullptr && copied > 0) std::memcpy(out, transfer->bytes.data(), copied);
  if (done != nullptr) *done = static_cast<std::uint32_t>(copied);
  const DWORD error = ::GetLastError();  // freeing the transfer must not change it
  transfer.reset();
  ::SetLastError(error);
  return ok;
}

}  // namespace

bool Win32Platform::IsOverlapped(Handle file) const {
  std::lock_guard lock(devicesLock_);
  const auto found = devices_.find(file);
  return found != devices_.end() && found->second.overlapped;
}

// Device interfaces are opened overlapped, so that every transfer on them can be bounded.
Handle Win32Platform::CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                                  std::uint32_t creation) {
  const bool overlapped = IsDeviceInterfacePath(path);
  HANDLE file =
      Calls().CreateFileA(path, access, share, nullptr, creation,
                          overlapped ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kInvalidHandle;
  if (overlapped) {
    std::lock_guard lock(devicesLock_);
    devices_[FromNative(file)].overlapped = true;
  }
  return FromNative(file);
}

bool Win32Platform::ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* done) {
  if (done != nullptr) *done = 0;
  HANDLE native = ToNative<HANDLE>(file);
  if (IsOverlapped(file)) {
    return Bounded(native, size, nullptr, 0, buffer, size, done, [&](Transfer& t) {
      return Calls().ReadFile(native, t.bytes.data(), size, nullptr, &t.overlapped);
    });
  }
  DWORD moved = 0;
  const BOOL ok = Calls().ReadFile(native, buffer, size, &moved, nullptr);
  if (done != nullptr) *done = ok ? moved : 0;
  return ok != FALSE;
}

bool Win32Platform::WriteFile(Handle file, const void* buffer, std::uint32_t size,
                              std::uint32_t* done) {
  if (done != nullptr) *done = 0;
  HANDLE native = ToNative<HANDLE>(file);
  if (IsOverlapped(file)) {
    // No bytes come back; `done` gets the count the transfer reports.
    return Bounded(native, size, buffer, size, nullptr, size, done, [&](Transfer& t) {
      return Calls().WriteFile(native, t.bytes.data(), size, nullptr, &t.overlapped);
    });
  }
  DWORD moved = 0;
  const BOOL ok = Calls().WriteFile(native, buffer, size, &moved, nullptr);
  if (done != nullptr) *done = ok ? moved : 0;
  return ok != FALSE;
}

bool Win32Platform::DeviceIoControl(Handle file, std::uint32_t code, const void* in,
                                    std::uint32_t inSize, void* out, std::uint32_t outSize,
                                    std::uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  HANDLE native = ToNative<HANDLE>(file);
  if (IsOverlapped(file)) {
    const std::size_t size = std::max(inSize, outSize);
    return Bounded(native, size, in, inSize, out, outSize, returned, [&](Transfer& t) {
      return Calls().DeviceIoControl(native, code, t.bytes.data(), inSize, t.bytes.data(), outSize,
                                     nullptr, &t.overlapped);
    });
  }
  DWORD moved = 0;
  const BOOL ok = Calls().DeviceIoControl(native, code, const_cast<void*>(in), inSize, out, outSize,
                                          &moved, nullptr);
  if (returned != nullptr) *returned = ok || ::GetLastError() == ERROR_MORE_DATA ? moved : 0;
  return ok != FALSE;
}

// https://learn.microsoft.com/windows/win32/fileio/cancelioex-func: with no OVERLAPPED, every
// transfer on the handle, of any thread, synchronous ones included.
bool Win32Platform::CancelIoEx(Handle file) {
  if (file == kInvalidHandle || file == 0) return false;
  return Calls().CancelIoEx(ToNative<HANDLE>(file), nullptr) != FALSE;
}

bool Win32Platform::CreateDirectoryA(const char* path) {
  return ::CreateDirectoryA(path, nullptr) != FALSE;
}

std::uint32_t Win32Platform::GetFileAttributesA(const char* path) {
  return ::GetFileAttributesA(path);
}

// https://learn.microsoft.com/windows/win32/api/winbase/nf-winbase-movefileexa: with
// MOVEFILE_REPLACE_EXISTING a file is replaced, but not while it is open (ERROR_ACCESS_DENIED).
bool Win32Platform::MoveFileExA(const char* from, const char* to, std::uint32_t flags) {
  static_assert(kMovefileReplaceExisting == MOVEFILE_REPLACE_EXISTING);
  return ::MoveFileExA(from, to, flags) != FALSE;
}

bool Win32Platform::CreateHardLinkA(const char* link, const char* existing) {
  return ::CreateHardLinkA(link, existing, nullptr) != FALSE;
}

bool Win32Platform::DeleteFileA(const char* path) {
  return ::DeleteFileA(path) != FALSE;
}

std::uint32_t Win32Platform::GetLastError() {
  return ::GetLastError();
}

// One line of the log: the system's line breaks inside a text become blanks
// (FORMAT_MESSAGE_MAX_WIDTH_MASK), and the one at its end is dropped.
std::string Win32Platform::ErrorText(std::uint32_t code) {
  char text[512] = {};
  const DWORD length = Calls().FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, code, 0, text, sizeof text, nullptr);
  std::string message(text, std::min<std::size_t>(length, sizeof text));
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

std::uint32_t Win32Platform::GetLogicalDrives() {
  return ::GetLogicalDrives();
}

std::uint32_t Win32Platform::GetLogicalDriveStringsA(std::uint32_t size, char* buffer) {
  return ::GetLogicalDriveStringsA(size, buffer);
}

std::uint32_t Win32Platform::GetDriveTypeA(const char* root) {
  return ::GetDriveTypeA(root);
}

}  // namespace platform::win32
