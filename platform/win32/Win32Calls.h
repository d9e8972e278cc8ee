// The Win32 calls through which the backend meets a refusal or reads its clock: the performance
// counter, device files and controls, the registry open and reads, the computer name, device
// notifications, the system's error texts, the spooler, and the power and shutdown calls, as one
// table of function pointers. By default each is the system's own call; a test replaces entries
// to reach what Wine never answers (a counter far from its start, ERROR_MORE_DATA from a hub, a
// refused open, a read that never completes, a failed page). The table is process-wide: replace
// entries only while no backend call is under way.
#pragma once

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <dbt.h>
#include <winspool.h>

namespace platform::win32 {

struct Win32Calls {
  decltype(&::QueryPerformanceCounter) QueryPerformanceCounter = &::QueryPerformanceCounter;
  decltype(&::QueryPerformanceFrequency) QueryPerformanceFrequency = &::QueryPerformanceFrequency;
  decltype(&::CreateFileA) CreateFileA = &::CreateFileA;
  decltype(&::ReadFile) ReadFile = &::ReadFile;
  decltype(&::WriteFile) WriteFile = &::WriteFile;
  decltype(&::DeviceIoControl) DeviceIoControl = &::DeviceIoControl;
  decltype(&::GetOverlappedResult) GetOverlappedResult = &::GetOverlappedResult;
  decltype(&::CancelIoEx) CancelIoEx = &::CancelIoEx;
  decltype(&::FormatMessageA) FormatMessageA = &::FormatMessageA;
  decltype(&::RegOpenKeyExW) RegOpenKeyExW = &::RegOpenKeyExW;
  decltype(&::RegQueryValueExW) RegQueryValueExW = &::RegQueryValueExW;
  decltype(&::GetComputerNameW) GetComputerNameW = &::GetComputerNameW;
  decltype(&::RegisterDeviceNotificationA) RegisterDeviceNotificationA =
      &::RegisterDeviceNotificationA;
  decltype(&::UnregisterDeviceNotification) UnregisterDeviceNotification =
      &::UnregisterDeviceNotification;
  decltype(&::OpenPrinterW) OpenPrinterW = &::OpenPrinterW;
  decltype(&::CreateDCW) CreateDCW = &::CreateDCW;
  decltype(&::StartDocW) StartDocW = &::StartDocW;
  decltype(&::StartPage) StartPage = &::StartPage;
  decltype(&::EndPage) EndPage = &::EndPage;
  decltype(&::EndDoc) EndDoc = &::EndDoc;
  decltype(&::AbortDoc) AbortDoc = &::AbortDoc;
  decltype(&::SetThreadExecutionState) SetThreadExecutionState = &::SetThreadExecutionState;
  decltype(&::ShutdownBlockReasonCreate) ShutdownBlockReasonCreate = &::ShutdownBlockReasonCreate;
  decltype(&::ShutdownBlockReasonDestroy) ShutdownBlockReasonDestroy =
      &::ShutdownBlockReasonDestroy;
};

// The table the backend calls through.
Win32Calls& Calls();

// Puts the system's own calls back (a test's tear-down).
void RestoreCalls();

}  // namespace platform::win32
