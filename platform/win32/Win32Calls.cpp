// The process-wide table of the Win32 calls the backend makes (Win32Calls.h).
#include "platform/win32/Win32Calls.h"

namespace platform::win32 {

Win32Calls& Calls() {
  static Win32Calls table;
  return table;
}

void RestoreCalls() {
  Calls() = Win32Calls{};
}

}  // namespace platform::win32
