// advapi32 registry reads of the Win32 backend: the ANSI interface under HKEY_LOCAL_MACHINE in
// the machine's own (64-bit) view, with the caller's fixed buffers and the system's error codes.
// Key names go through the wide calls (Win32Text.h): a print queue's key named outside the code
// page is listed and opened by its own name.
#include <windows.h>

#include <cstring>

#include "platform/win32/Win32Calls.h"
#include "platform/win32/Win32Handles.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32Text.h"

namespace platform::win32 {

// https://learn.microsoft.com/windows/win32/winprog64/accessing-an-alternate-registry-view
// The product is a 32-bit program: on 64-bit Windows its HKLM\SOFTWARE reads would land in
// WOW6432Node, whose processor and Windows version texts are not the ones the host report wants.
// KEY_WOW64_64KEY reads the machine's own view; 32-bit Windows ignores it.
// Each reading of the path is tried (the code page's first); the first refusal is the answer.
long Win32Platform::RegOpenKeyExA(const char* subKey, Handle* key) {
  if (key != nullptr) *key = kInvalidHandle;
  LONG first = ERROR_FILE_NOT_FOUND;
  bool refused = false;
  for (const std::wstring& path : WideReadings(subKey)) {
    HKEY opened = nullptr;
    const LONG rc = Calls().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                          KEY_READ | KEY_WOW64_64KEY, &opened);
    if (rc == ERROR_SUCCESS) {
      if (key != nullptr) *key = FromNative(opened);
      return rc;
    }
    if (!refused) first = rc;
    refused = true;
  }
  return first;
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

// A key name is at most 255 characters; in UTF-8 it may take more bytes than that, and it must
// fit the caller's buffer with its zero, as RegEnumKeyA's own answer would (ERROR_MORE_DATA).
long Win32Platform::RegEnumKeyA(Handle key, std::uint32_t index, char* name, std::uint32_t size) {
  wchar_t wide[256] = {};
  DWORD length = 256;
  const LONG rc = ::RegEnumKeyExW(ToNative<HKEY>(key), index, wide, &length, nullptr, nullptr,
                                  nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const std::string narrow = NarrowName(std::wstring_view(wide, length));
  if (name == nullptr || narrow.size() + 1 > size) return ERROR_MORE_DATA;
  std::memcpy(name, narrow.c_str(), narrow.size() + 1);
  return ERROR_SUCCESS;
}

long Win32Platform::RegCloseKey(Handle key) {
  return ::RegCloseKey(ToNative<HKEY>(key));
}

}  // namespace platform::win32
