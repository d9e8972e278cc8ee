// Reading registry values the way discovery does: into fixed buffers, trusting nothing about
// their content; and the few text helpers the port tree, discovery, the drive and printer
// classification, the command link and the run record share. No state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

// A value read into a buffer of bufferSize bytes. Missing, unreadable (kInvalidHandle included)
// or larger than the buffer: nullopt, as RegQueryValueExA fails then. The bytes are exactly the
// ones the call reported, never more than the buffer.
std::optional<std::vector<std::uint8_t>> ReadRegBytes(platform::Handle key, const char* name,
                                                      std::size_t bufferSize);
// The same as text: up to its first zero byte, or all the bytes read when there is none.
std::optional<std::string> ReadRegText(platform::Handle key, const char* name,
                                       std::size_t bufferSize);
std::string ReadRegText(platform::Handle key, const char* name, std::size_t bufferSize,
                        std::string_view fallback);
// The name of the index-th subkey, read into a buffer of bufferSize bytes. nullopt with
// *more set when enumeration goes on (the name did not fit), with *more clear when it has ended.
std::optional<std::string> EnumRegKey(platform::Handle key, std::uint32_t index,
                                      std::size_t bufferSize, bool* more);
// Opens a key under the local-machine root; kInvalidHandle when that fails.
platform::Handle OpenRegKey(const std::string& path);
void CloseRegKey(platform::Handle key);

// UTF-16LE bytes as 8-bit text: up to the first zero unit; a unit beyond 8 bits becomes '?'.
// An odd last byte is ignored.
std::string Utf16Text(const std::vector<std::uint8_t>& bytes);

// The non-empty pieces of the text between ";" separators ("HV22 V3.02;{S0000};HV22T0007;OK AT+O"
// gives four; ";;" and a trailing ";" give none).
std::vector<std::string> SplitFields(const std::string& text);

std::string LowerText(std::string text);
std::string UpperText(std::string text);
inline bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}
