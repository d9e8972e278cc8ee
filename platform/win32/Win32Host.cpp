// The station itself: its computer name and its zone (run records name their station and the
// instant of each run), bcrypt's random bytes (a run's identity), and what keeps it awake and
// holds a shutdown while runs are under way.
#include <windows.h>
// After windows.h, whose types it uses.
#include <bcrypt.h>

#include <string>

#include "platform/win32/Win32Calls.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32Text.h"

namespace platform::win32 {

// Read wide and handed over in UTF-8: a name beyond ASCII ("PR\u00DCFPLATZ-1") reaches the run
// records as itself.
std::string Win32Platform::GetComputerNameA() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  // https://learn.microsoft.com/windows/win32/api/winbase/nf-winbase-getcomputernamew: on
  // success size holds the length without the terminating zero.
  if (!Calls().GetComputerNameW(name, &size) || size > MAX_COMPUTERNAME_LENGTH) return {};
  return Utf8Text(std::wstring_view(name, size));
}

// https://learn.microsoft.com/windows/win32/api/winbase/nf-winbase-setthreadexecutionstate
std::uint32_t Win32Platform::SetThreadExecutionState(std::uint32_t flags) {
  return Calls().SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags));
}

// https://learn.microsoft.com/windows/win32/shutdown/shutdown-changes-for-windows-vista
// The reason is shown as it is given, in the code page's characters.
bool Win32Platform::ShutdownBlockReasonCreate(Handle recipient, const char* reason) {
  HWND window = static_cast<HWND>(Window(recipient));
  if (window == nullptr || reason == nullptr) return false;
  const int length = ::MultiByteToWideChar(CP_ACP, 0, reason, -1, nullptr, 0);
  if (length <= 0) return false;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, reason, -1, wide.data(), length);
  return Calls().ShutdownBlockReasonCreate(window, wide.c_str()) != FALSE;
}

bool Win32Platform::ShutdownBlockReasonDestroy(Handle recipient) {
  HWND window = static_cast<HWND>(Window(recipient));
  return window != nullptr && Calls().ShutdownBlockReasonDestroy(window) != FALSE;
}

bool Win32Platform::GenRandom(void* out, std::size_t size) {
  // https://learn.microsoft.com/windows/win32/api/bcrypt/nf-bcrypt-bcryptgenrandom: with
  // BCRYPT_USE_SYSTEM_PREFERRED_RNG no algorithm handle is opened.
  return size <= 0xFFFFFFFFu && BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, static_cast<PUCHAR>(out),
                                                                 static_cast<ULONG>(size),
                                                                 BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

int Win32Platform::UtcOffsetMinutes() {
  // Bias is UTC minus local time, in minutes; the part of the year adds its own.
  TIME_ZONE_INFORMATION zone{};
  const DWORD part = ::GetTimeZoneInformation(&zone);
  LONG bias = zone.Bias;
  if (part == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (part == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  return part == TIME_ZONE_ID_INVALID ? 0 : static_cast<int>(-bias);
}

}  // namespace platform::win32
