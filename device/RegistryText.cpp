// Fixed-buffer registry reads and the text helpers of discovery.
#include "device/RegistryText.h"

#include <algorithm>
#include <cctype>
#include <cstring>

std::optional<std::vector<std::uint8_t>> ReadRegBytes(platform::Handle key, const char* name,
                                                      std::size_t bufferSize) {
  if (key == platform::kInvalidHandle) return std::nullopt;
  std::vector<std::uint8_t> buffer(bufferSize, 0);
  std::uint32_t type = 0;
  auto size = static_cast<std::uint32_t>(bufferSize);
  const long result =
      platform::ThePlatform().RegQueryValueExA(key, name, &type, buffer.data(), &size);
  if (result != platform::kErrorSuccess) return std::nullopt;
  buffer.resize(std::min<std::size_t>(size, bufferSize));
  return buffer;
}

std::optional<std::string> ReadRegText(platform::Handle key, const char* name,
                                       std::size_t bufferSize) {
  const auto bytes = ReadRegBytes(key, name, bufferSize);
  if (!bytes) return std::nullopt;
  const char* text = reinterpret_cast<const char*>(bytes->data());
  return std::string(text, strnlen(text, bytes->size()));
}

std::string ReadRegText(platform::Handle key, const char* name, std::size_t bufferSize,
                        std::string_view fallback) {
  return ReadRegText(key, name, bufferSize).value_or(std::string(fallback));
}

std::optional<std::string> EnumRegKey(platform::Handle key, std::uint32_t index,
                                      std::size_t bufferSize, bool* more) {
  std::vector<char> name(bufferSize + 1, '\0');
  const long result = platform::ThePlatform().RegEnumKeyA(key, index, name.data(),
                                                          static_cast<std::uint32_t>(bufferSize));
  *more = result == platform::kErrorSuccess || result == platform::kErrorMoreData;
  if (result != platform::kErrorSuccess) return std::nullopt;
  return std::string(name.data(), strnlen(name.data(), bufferSize));
}

platform::Handle OpenRegKey(const std::string& path) {
  platform::Handle key = platform::kInvalidHandle;
  if (platform::ThePlatform().RegOpenKeyExA(path.c_str(), &key) != platform::kErrorSuccess) {
    return platform::kInvalidHandle;
  }
  return key;
}

void CloseRegKey(platform::Handle key) {
  if (key != platform::kInvalidHandle) platform::ThePlatform().RegCloseKey(key);
}

std::string Utf16Text(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const unsigned unit = bytes[i] | (bytes[i + 1] << 8);
    if (unit == 0) break;
    text += unit < 0x100 ? static_cast<char>(unit) : '?';
  }
  return text;
}

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

std::string LowerText(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string UpperText(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}
