// Program resources and the print spooler of the Win32 backend.
#include <windows.h>
// windows.h first: winspool.h relies on its types.
#include <winspool.h>

#include <string>

#include "platform/win32/Win32Calls.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32Text.h"

namespace platform::win32 {

// Resources of a loaded module stay mapped while it is loaded: the bytes outlive every caller.
std::span<const std::uint8_t> Win32Platform::LoadItemResource(const char* name) {
  HMODULE module = ::GetModuleHandleA(nullptr);
  HRSRC found = ::FindResourceA(module, name, "ITEM");
  if (found == nullptr) return {};
  HGLOBAL loaded = ::LoadResource(module, found);
  const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (bytes == nullptr) return {};
  return {static_cast<const std::uint8_t*>(bytes), ::SizeofResource(module, found)};
}

namespace {

// The queue must exist as a printer of the spooler before a device context is made for it.
bool QueueExists(const std::wstring& queueName) {
  HANDLE printer = nullptr;
  if (!Calls().OpenPrinterW(const_cast<wchar_t*>(queueName.c_str()), &printer, nullptr)) {
    return false;
  }
  ::ClosePrinter(printer);
  return true;
}

// The one blank page: a page that did not start or end is no page, and the document is abandoned
// rather than ended (AbortDoc), so the spooler discards it.
bool PrintBlankPage(HDC dc) {
  if (Calls().StartPage(dc) <= 0 || Calls().EndPage(dc) <= 0) {
    Calls().AbortDoc(dc);
    return false;
  }
  return Calls().EndDoc(dc) > 0;
}

}  // namespace

// The printer object's way: a device context on the queue with the driver "WINSPOOL", a document
// with its first (blank) page opened at its start and closed at its end, so the printer takes one
// empty sheet. The name is the one the registry listed (Win32Text.h): its readings are tried in
// turn, so a queue named outside the code page's characters is found by its own name.
bool Win32Platform::PrintEmptyDocument(const char* queueName) {
  if (queueName == nullptr || *queueName == '\0') return false;
  std::wstring queue;
  for (std::wstring& reading : WideReadings(queueName)) {
    if (QueueExists(reading)) {
      queue = std::move(reading);
      break;
    }
  }
  if (queue.empty()) return false;
  HDC dc = Calls().CreateDCW(L"WINSPOOL", queue.c_str(), nullptr, nullptr);
  if (dc == nullptr) return false;
  DOCINFOW document{};
  document.cbSize = sizeof document;
  document.lpszDocName = L"";
  const bool printed = Calls().StartDocW(dc, &document) > 0 && PrintBlankPage(dc);
  ::DeleteDC(dc);
  return printed;
}

}  // namespace platform::win32
