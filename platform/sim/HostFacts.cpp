// Host facts from /proc, /etc/os-release and uname, and the host's random source; every input is
// treated as untrusted text.
#include "platform/sim/HostFacts.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <thread>

#include <ctime>

#if defined(__unix__)
#include <sys/utsname.h>
#endif
#if defined(__linux__)
#include <sys/random.h>
#endif
#if defined(_WIN32)
#include <windows.h>
// windows.h first: bcrypt.h relies on its types.
#include <bcrypt.h>
#endif

namespace platform::sim {
namespace {

// /proc files report a size of 0, so read until the end, but never more than this.
constexpr std::size_t kMaxFileBytes = 1 << 20;

std::string ReadTextFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::string text;
  char chunk[4096];
  while (in && text.size() < kMaxFileBytes) {
    in.read(chunk, sizeof chunk);
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
  }
  return text.substr(0, kMaxFileBytes);
}

std::string_view Trim(std::string_view s) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Keeps printable characters only (no control bytes, no zeros inside a REG_SZ) and cuts the
// text to kMaxHostText.
std::string CleanText(std::string_view s) {
  std::string out;
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7f && out.size() < kMaxHostText) out.push_back(c);
  }
  return out;
}

// Calls fn(key, value) for every line "key<sep>value", both trimmed.
template <typename Fn>
void ForEachField(std::string_view text, char separator, Fn fn) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    const std::size_t cut = line.find(separator);
    if (cut != std::string_view::npos) fn(Trim(line.substr(0, cut)), Trim(line.substr(cut + 1)));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

std::string Unquote(std::string_view s) {
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
    s = s.substr(1, s.size() - 2);
  }
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) ++i;  // shell-style escape: keep the next char
    out.push_back(s[i]);
  }
  return out;
}

// "16318480 kB" -> bytes, saturating; no unit means bytes.
std::uint64_t ParseMemInfoBytes(std::string_view value) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t n = 0;
  std::size_t i = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    const auto digit = static_cast<std::uint64_t>(value[i] - '0');
    n = n > (kMax - digit) / 10 ? kMax : n * 10 + digit;
  }
  const std::string_view unit = Trim(value.substr(i));
  if (unit == "kB") n = n > kMax / 1024 ? kMax : n * 1024;
  return n;
}

std::uint32_t Clamp32(std::uint64_t bytes) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, 0xFFFFFFFFu));
}

struct Uname {
  std::string machine, release, version;
};

Uname ReadUname() {
  Uname u;
#if defined(__unix__)
  utsname raw{};
  if (uname(&raw) == 0) {
    // The fields are fixed arrays; take them up to their zero or their end.
    const auto field = [](const char* f, std::size_t n) {
      return std::string(f, std::find(f, f + n, '\0'));
    };
    u.machine = field(raw.machine, sizeof raw.machine);
    u.release = field(raw.release, sizeof raw.release);
    u.version = field(raw.version, sizeof raw.version);
  }
#endif
  return u;
}

}  // namespace

bool ReadHostRandom(void* out, std::size_t size) {
#if defined(__linux__)
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  // A read of up to 256 bytes from an initialised pool is never cut short; a signal may still
  // interrupt it before it starts.
  for (int tries = 0; done < size && tries < 8; ++tries) {
    const ssize_t got = getrandom(bytes + done, size - done, 0);
    if (got > 0) done += static_cast<std::size_t>(got);
  }
  return done == size;
#elif defined(_WIN32)
  // The simulator on Windows (veltrane-sim.exe in real time) draws from the system's source too:
  // two real-time sessions must never hand out the same run ids.
  return size <= 0xFFFFFFFFu && BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, static_cast<PUCHAR>(out),
                                                                 static_cast<ULONG>(size),
                                                                 BCRYPT_USE_SYSTEM_PREFERRED_RNG));
#else
  (void)out;
  (void)size;
  return false;
#endif
}

int ReadHostUtcOffset() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  std::tm utc{};
#if defined(_WIN32)
  if (localtime_s(&local, &now) != 0 || gmtime_s(&utc, &now) != 0) return 0;
#else
  if (localtime_r(&now, &local) == nullptr || gmtime_r(&now, &utc) == nullptr) return 0;
#endif
  // The two readings of one instant differ by the offset; at most a day apart.
  int days = local.tm_yday - utc.tm_yday;
  if (local.tm_year != utc.tm_year) days = local.tm_year > utc.tm_year ? 1 : -1;
  return days * 24 * 60 + (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
}

std::string ReadHostName() {
  std::string name;
#if defined(__unix__)
  utsname raw{};
  if (uname(&raw) == 0)
    name.assign(raw.nodename, std::find(raw.nodename, raw.nodename + sizeof raw.nodename, '\0'));
#else
  if (const char* env = std::getenv("COMPUTERNAME")) name = env;
#endif
  name = CleanText(name.substr(0, name.find('.')));
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name.empty() ? "SIMULATED" : name;
}

std::vector<std::string> ParseProcessorNames(std::string_view cpuinfo,
                                             std::string_view fallbackName) {
  std::vector<std::string> names;
  ForEachField(cpuinfo, ':', [&](std::string_view key, std::string_view value) {
    if (key == "processor" && names.size() < kMaxProcessors) {
      names.push_back(CleanText(fallbackName));
    } else if (key == "model name" && !names.empty() && !value.empty()) {
      names.back() = CleanText(value);
    }
  });
  return names;
}

std::string ParseOsReleaseName(std::string_view osRelease) {
  std::string pretty, name;
  ForEachField(osRelease, '=', [&](std::string_view key, std::string_view value) {
    if (key == "PRETTY_NAME") pretty = CleanText(Unquote(value));
    if (key == "NAME") name = CleanText(Unquote(value));
  });
  return pretty.empty() ? name : pretty;
}

std::string KernelMajorMinor(std::string_view release) {
  std::size_t end = 0;
  int dots = 0;
  for (; end < release.size(); ++end) {
    const char c = release[end];
    if (c == '.' && ++dots == 2) break;
    if (c != '.' && (c < '0' || c > '9')) break;
  }
  return CleanText(release.substr(0, end));
}

MemoryStatus ParseMemInfo(std::string_view meminfo) {
  std::uint64_t total = 0, available = 0, free = 0;
  bool haveAvailable = false;
  ForEachField(meminfo, ':', [&](std::string_view key, std::string_view value) {
    if (key == "MemTotal") total = ParseMemInfoBytes(value);
    if (key == "MemFree") free = ParseMemInfoBytes(value);
    if (key == "MemAvailable") {
      available = ParseMemInfoBytes(value);
      haveAvailable = true;
    }
  });
  return MemoryStatus{Clamp32(total), Clamp32(haveAvailable ? available : free)};
}

HostFacts ReadHostFacts() {
  const Uname u = ReadUname();
  HostFacts facts;
  const std::string fallbackCpu =
      u.machine.empty() ? std::string("Simulated processor") : u.machine + " processor";
  facts.processorNames = ParseProcessorNames(ReadTextFile("/proc/cpuinfo"), fallbackCpu);
  if (facts.processorNames.empty()) {
    const unsigned count =
        std::clamp(std::thread::hardware_concurrency(), 1u, static_cast<unsigned>(kMaxProcessors));
    facts.processorNames.assign(count, CleanText(fallbackCpu));
  }
  facts.productName = ParseOsReleaseName(ReadTextFile("/etc/os-release"));
  if (facts.productName.empty()) facts.productName = "Simulated bench host";
  facts.currentVersion = KernelMajorMinor(u.release);
  facts.currentBuild = CleanText(u.release);
  facts.currentBuildNumber = CleanText(u.version);
  return facts;
}

MemoryStatus ReadHostMemoryStatus() {
  return ParseMemInfo(ReadTextFile("/proc/meminfo"));
}

void AddHostKeys(SimRegistry& registry, const HostFacts& facts) {
  for (std::size_t i = 0; i < facts.processorNames.size(); ++i) {
    registry.SetString(std::string(kProcessorKeyPrefix) + std::to_string(i), "ProcessorNameString",
                       facts.processorNames[i]);
  }
  registry.SetString(kWindowsVersionKey, "ProductName", facts.productName);
  registry.SetString(kWindowsVersionKey, "CSDVersion", facts.csdVersion);
  registry.SetString(kWindowsVersionKey, "CurrentVersion", facts.currentVersion);
  registry.SetString(kWindowsVersionKey, "CurrentBuild", facts.currentBuild);
  registry.SetString(kWindowsVersionKey, "CurrentBuildNumber", facts.currentBuildNumber);
}

}  // namespace platform::sim
