// Facts about the real host (processors, operating system, memory), shaped as the registry
// values and memory status a Windows host report reads. Used by SimPlatform; parsers are pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"
#include "platform/sim/SimRegistry.h"

namespace platform::sim {

// Where Windows keeps them, under HKEY_LOCAL_MACHINE.
inline constexpr std::string_view kProcessorKeyPrefix =
    "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\";
inline constexpr std::string_view kWindowsVersionKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// Host texts are cut to this length so that a 256-byte read with its terminator always fits.
inline constexpr std::size_t kMaxHostText = 255;
// More processor keys than any host report reads; bounds a hostile /proc/cpuinfo.
inline constexpr std::size_t kMaxProcessors = 64;

struct HostFacts {
  std::vector<std::string> processorNames;  // one per processor key 0..N-1
  std::string productName;                  // "ProductName"
  std::string csdVersion;                   // "CSDVersion": no service packs here, so empty
  std::string currentVersion;               // "CurrentVersion": kernel "major.minor"
  std::string currentBuild;                 // "CurrentBuild": kernel release
  std::string currentBuildNumber;           // "CurrentBuildNumber": kernel build line
};

// One name per "processor" block of /proc/cpuinfo text, from its "model name" line, else
// fallbackName. No block at all gives an empty list.
std::vector<std::string> ParseProcessorNames(std::string_view cpuinfo,
                                             std::string_view fallbackName);
// The host's name in capitals, as Windows gives a computer name; "SIMULATED" when it has none.
std::string ReadHostName();

// Bytes from the host's cryptographic source (getrandom, BCryptGenRandom); false where it has none.
bool ReadHostRandom(void* out, std::size_t size);
// The host's offset from UTC now, in minutes east.
int ReadHostUtcOffset();

// PRETTY_NAME of /etc/os-release text, unquoted; else NAME; else empty.
std::string ParseOsReleaseName(std::string_view osRelease);
// "6.1.0-18-amd64" -> "6.1"; whatever leads up to the second dot or the first non-digit.
std::string KernelMajorMinor(std::string_view release);
// MemTotal and MemAvailable (or MemFree on kernels without it) of /proc/meminfo text, in
// bytes, clamped to 0xFFFFFFFF as the legacy 32-bit memory status reports them.
MemoryStatus ParseMemInfo(std::string_view meminfo);

// The live host. Missing files give fallbacks, never an error.
HostFacts ReadHostFacts();
MemoryStatus ReadHostMemoryStatus();

// Writes the processor keys and the Windows version key.
void AddHostKeys(SimRegistry& registry, const HostFacts& facts);

}  // namespace platform::sim
