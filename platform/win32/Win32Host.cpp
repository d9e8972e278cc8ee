// kernel32 facts about the station itself: its computer name (run records name their station).
#include <windows.h>

#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

std::string Win32Platform::GetComputerNameA() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  // https://learn.microsoft.com/windows/win32/api/winbase/nf-winbase-getcomputernamea: on
  // success size holds the length without the terminating zero.
  if (!::GetComputerNameA(name, &size) || size >= sizeof name) return {};
  return std::string(name, size);
}

}  // namespace platform::win32
