// advapi32 registry reads of the Win32 backend: the char interface under HKEY_LOCAL_MACHINE in
// the machine's own (64-bit) view, with the caller's fixed buffers and the system's error codes.
// Key names and text values go through the wide calls and reach the core in UTF-8 (Win32Text.h):
// a print queue's key is listed and opened by its own name, and a device's description keeps its
// characters beyond ASCII in the records.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

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

// A text value (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is read wide and handed over in UTF-8, its
// size in those bytes, so that the caller's buffer is measured against what it gets (as the ANSI
// call measures its code page's bytes); any other value is handed over byte for byte.
long Win32Platform::RegQueryValueExA(Handle key, const char* valueName, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* size) {
  const std::vector<std::wstring> names = WideReadings(valueName != nullptr ? valueName : "");
  const wchar_t* name = names.empty() ? L"" : names.front().c_str();
  DWORD nativeType = 0;
  DWORD bytes = 0;
  LONG rc =
      Calls().RegQueryValueExW(ToNative<HKEY>(key), name, nullptr, &nativeType, nullptr, &bytes);
  std::vector<std::uint8_t> value(bytes + sizeof(wchar_t));
  if (rc == ERROR_SUCCESS) {
    rc = Calls().RegQueryValueExW(ToNative<HKEY>(key), name, nullptr, &nativeType, value.data(),
                                  &bytes);
  }
  if (rc != ERROR_SUCCESS) return rc;  // a value that grew meanwhile reads as one too large
  value.resize(bytes);
  if (nativeType == REG_SZ || nativeType == REG_EXPAND_SZ || nativeType == REG_MULTI_SZ) {
    std::wstring wide(bytes / sizeof(wchar_t), L'\0');
    std::memcpy(wide.data(), value.data(), wide.size() * sizeof(wchar_t));
    const std::string text = Utf8Text(wide);
    value.assign(text.begin(), text.end());
  }
  if (type != nullptr) *type = nativeType;
  if (size == nullptr) return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  const auto needed = static_cast<std::uint32_t>(value.size());
  const std::uint32_t offered = *size;
  *size = needed;
  if (data == nullptr) return ERROR_SUCCESS;
  if (needed > offered) return ERROR_MORE_DATA;
  if (!value.empty()) std::memcpy(data, value.data(), value.size());
  return ERROR_SUCCESS;
}

// A key name is at most 255 characters; in UTF-8 it may take more bytes than that, and it must
// fit the caller's buffer with its zero, as RegEnumKeyA's own answer would (ERROR_MORE_DATA).
long Win32Platform::RegEnumKeyA(Handle key, std::uint32_t index, char* name, std::uint32_t size) {
  wchar_t wide[256] = {};
  DWORD length = 256;
  const LONG rc = ::RegEnumKeyExW(ToNative<HKEY>(key), index, wide, &length, nullptr, nullptr,
                                  nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const std::string narrow = Utf8Text(std::wstring_view(wide, length));
  if (name == nullptr || narrow.size() + 1 > size) return ERROR_MORE_DATA;
  std::memcpy(name, narrow.c_str(), narrow.size() + 1);
  return ERROR_SUCCESS;
}

long Win32Platform::RegCloseKey(Handle key) {
  return ::RegCloseKey(ToNative<HKEY>(key));
}

}  // namespace platform::win32
