// Program resources and the print spooler of the Win32 backend.
#include <windows.h>
// windows.h first: winspool.h relies on its types.
#include <winspool.h>

#include <string>

#include "platform/win32/Win32Calls.h"
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

// The queue's name as the spooler's wide calls take it, from the ANSI text the system holds (the
// process code page); empty when it does not convert.
std::wstring WideQueueName(const char* queueName) {
  const int length = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, queueName, -1, nullptr, 0);
  if (length <= 1) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, queueName, -1, wide.data(), length) !=
      length) {
    return {};
  }
  wide.pop_back();  // the terminating zero
  return wide;
}

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
// empty sheet. The wide calls find a queue whose name lies outside the code page's characters.
bool Win32Platform::PrintEmptyDocument(const char* queueName) {
  if (queueName == nullptr || *queueName == '\0') return false;
  const std::wstring queue = WideQueueName(queueName);
  if (queue.empty() || !QueueExists(queue)) return false;
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
