// Program resources and the print spooler of the Win32 backend.
#include <windows.h>
// windows.h first: winspool.h relies on its types.
#include <winspool.h>

#include "platform/win32/Win32Platform.h"

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
bool QueueExists(const char* queueName) {
  HANDLE printer = nullptr;
  if (!::OpenPrinterA(const_cast<char*>(queueName), &printer, nullptr)) return false;
  ::ClosePrinter(printer);
  return true;
}

}  // namespace

// The printer object's way: a device context on the queue with the driver "WINSPOOL", a document
// with its first (blank) page opened at its start and closed at its end, so the printer takes one
// empty sheet.
bool Win32Platform::PrintEmptyDocument(const char* queueName) {
  if (queueName == nullptr || *queueName == '\0' || !QueueExists(queueName)) return false;
  HDC dc = ::CreateDCA("WINSPOOL", queueName, nullptr, nullptr);
  if (dc == nullptr) return false;
  DOCINFOA document{};
  document.cbSize = sizeof document;
  document.lpszDocName = "";
  bool printed = false;
  if (::StartDocA(dc, &document) > 0) {
    ::StartPage(dc);
    ::EndPage(dc);
    printed = ::EndDoc(dc) > 0;
  }
  ::DeleteDC(dc);
  return printed;
}

}  // namespace platform::win32
