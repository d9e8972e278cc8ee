// Conversions between the seam's opaque handles and the Win32 handle types, for the Win32
// backend's sources only. The seam's kInvalidHandle is INVALID_HANDLE_VALUE.
#pragma once

#include <windows.h>

#include "platform/Platform.h"

namespace platform::win32 {

template <typename T>
T ToNative(Handle handle) {
  return reinterpret_cast<T>(handle);
}

template <typename T>
Handle FromNative(T native) {
  return reinterpret_cast<Handle>(native);
}

inline GUID ToNativeGuid(const Guid& g) {
  GUID native{};
  native.Data1 = g.data1;
  native.Data2 = g.data2;
  native.Data3 = g.data3;
  for (int i = 0; i < 8; ++i) native.Data4[i] = g.data4[i];
  return native;
}

inline Guid FromNativeGuid(const GUID& native) {
  Guid g;
  g.data1 = native.Data1;
  g.data2 = native.Data2;
  g.data3 = native.Data3;
  for (int i = 0; i < 8; ++i) g.data4[i] = native.Data4[i];
  return g;
}

}  // namespace platform::win32
