// Texts between UTF-16 and the seam's char texts (Win32Text.h).
#include "platform/win32/Win32Text.h"

#include <windows.h>

#include <cstring>

namespace platform::win32 {

namespace {

std::wstring Widen(UINT codePage, const char* text, int length) {
  const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
  const int wide = ::MultiByteToWideChar(codePage, flags, text, length, nullptr, 0);
  if (wide <= 0) return {};
  std::wstring out(static_cast<std::size_t>(wide), L'\0');
  if (::MultiByteToWideChar(codePage, flags, text, length, out.data(), wide) != wide) return {};
  return out;
}

}  // namespace

std::string Utf8Text(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int length = static_cast<int>(wide.size());
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::vector<std::wstring> WideReadings(const char* text) {
  std::vector<std::wstring> readings;
  if (text == nullptr) return readings;
  const int length = static_cast<int>(std::strlen(text));
  if (length == 0) return {std::wstring()};
  bool ascii = true;
  for (int i = 0; i < length && ascii; ++i) ascii = static_cast<unsigned char>(text[i]) < 0x80;
  if (!ascii) {
    std::wstring utf8 = Widen(CP_UTF8, text, length);
    if (!utf8.empty()) readings.push_back(std::move(utf8));
  }
  std::wstring ansi = Widen(CP_ACP, text, length);
  if (!ansi.empty() && (readings.empty() || readings.front() != ansi)) {
    readings.push_back(std::move(ansi));
  }
  return readings;
}

}  // namespace platform::win32
