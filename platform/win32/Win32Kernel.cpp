// kernel32 operations of the Win32 backend: local time, events and waits, files and device
// controls, memory status and logical drives. Each is the Win32 call of the same name.
#include <windows.h>

#include "platform/win32/Win32Handles.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

LocalTime Win32Platform::GetLocalTime() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return LocalTime{
      now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds / 10};
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
// "closes" successfully; the seam calls it unknown.
bool Win32Platform::CloseHandle(Handle handle) {
  if (handle == kInvalidHandle || handle == 0) return false;
  return ::CloseHandle(ToNative<HANDLE>(handle)) != FALSE;
}

MemoryStatus Win32Platform::GlobalMemoryStatus() {
  MEMORYSTATUS status{};
  status.dwLength = sizeof status;
  ::GlobalMemoryStatus(&status);
  return MemoryStatus{static_cast<std::uint32_t>(status.dwTotalPhys),
                      static_cast<std::uint32_t>(status.dwAvailPhys)};
}

Handle Win32Platform::CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                                  std::uint32_t creation) {
  HANDLE file =
      ::CreateFileA(path, access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? kInvalidHandle : FromNative(file);
}

bool Win32Platform::ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* done) {
  DWORD moved = 0;
  const BOOL ok = ::ReadFile(ToNative<HANDLE>(file), buffer, size, &moved, nullptr);
  if (done != nullptr) *done = ok ? moved : 0;
  return ok != FALSE;
}

bool Win32Platform::WriteFile(Handle file, const void* buffer, std::uint32_t size,
                              std::uint32_t* done) {
  DWORD moved = 0;
  const BOOL ok = ::WriteFile(ToNative<HANDLE>(file), buffer, size, &moved, nullptr);
  if (done != nullptr) *done = ok ? moved : 0;
  return ok != FALSE;
}

bool Win32Platform::DeviceIoControl(Handle file, std::uint32_t code, const void* in,
                                    std::uint32_t inSize, void* out, std::uint32_t outSize,
                                    std::uint32_t* returned) {
  DWORD moved = 0;
  const BOOL ok = ::DeviceIoControl(ToNative<HANDLE>(file), code, const_cast<void*>(in), inSize,
                                    out, outSize, &moved, nullptr);
  if (returned != nullptr) *returned = ok ? moved : 0;
  return ok != FALSE;
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
