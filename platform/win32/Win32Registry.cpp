// advapi32 registry reads of the Win32 backend: the ANSI interface under HKEY_LOCAL_MACHINE in
// the machine's own (64-bit) view, with the caller's fixed buffers and the system's error codes.
#include <windows.h>

#include "platform/win32/Win32Calls.h"
#include "platform/win32/Win32Handles.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

// https://learn.microsoft.com/windows/win32/winprog64/accessing-an-alternate-registry-view
// The product is a 32-bit program: on 64-bit Windows its HKLM\SOFTWARE reads would land in
// WOW6432Node, whose processor and Windows version texts are not the ones the host report wants.
// KEY_WOW64_64KEY reads the machine's own view; 32-bit Windows ignores it.
long Win32Platform::RegOpenKeyExA(const char* subKey, Handle* key) {
  HKEY opened = nullptr;
  const LONG rc =
      Calls().RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ | KEY_WOW64_64KEY, &opened);
  if (key != nullptr) *key = rc == ERROR_SUCCESS ? FromNative(opened) : kInvalidHandle;
  return rc;
}

long Win32Platform::RegQueryValueExA(Handle key, const char* valueName, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* size) {
  DWORD nativeType = 0;
  DWORD nativeSize = size != nullptr ? *size : 0;
  const LONG rc = ::RegQueryValueExA(ToNative<HKEY>(key), valueName, nullptr, &nativeType, data,
                                     size != nullptr ? &nativeSize : nullptr);
  if (type != nullptr) *type = nativeType;
  if (size != nullptr) *size = nativeSize;
  return rc;
}

long Win32Platform::RegEnumKeyA(Handle key, std::uint32_t index, char* name, std::uint32_t size) {
  return ::RegEnumKeyA(ToNative<HKEY>(key), index, name, size);
}

long Win32Platform::RegCloseKey(Handle key) {
  return ::RegCloseKey(ToNative<HKEY>(key));
}

}  // namespace platform::win32
