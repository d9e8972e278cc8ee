// The test log: timestamped, scrambled lines collected in memory and saved whole as "Test.log",
// and the host report that opens every run.
#include "report/TestLog.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>

namespace {

// LogLines exists between CreateLogLines and ReleaseLogLines. The GUI thread and the worker both
// log, so every access takes the lock.
// One stored line: as "Test.log" holds it, the run it belongs to, and how many characters of
// its message are the run's tag.
struct LogLine {
  std::string text;
  std::uint64_t owner = 0;
  std::size_t tagLength = 0;
};

std::mutex logMutex;
std::optional<std::vector<LogLine>> logLines;
// A run under way: its tag, and whether its lines carry it (once it has had company).
struct LogRun {
  std::uint64_t id = 0;
  std::string tagText;  // "<TAG> "
  bool tagged = false;
};

// The runs under way, under logMutex.
std::vector<LogRun> runsUnderWay;
thread_local std::uint64_t threadLogOwner = 0;
int stationForming = 0;        // runs Start all is starting, under logMutex
std::size_t stationUnits = 0;  // units attached, under logMutex

// The line without its tag.
std::string Untagged(const LogLine& line) {
  if (line.tagLength == 0) return line.text;
  return line.text.substr(0, kLogPrefixLength) +
         line.text.substr(kLogPrefixLength + line.tagLength);
}

constexpr std::size_t kRegistryTextSize = 256;

std::string FormatLogPrefix(const platform::LocalTime& t) {
  char prefix[128];
  std::snprintf(prefix, sizeof prefix, "%4d-%02d-%02d %2d:%02d:%02d : [%d] ", t.year, t.month,
                t.day, t.hour, t.minute, t.second, 0);
  return prefix;
}

// Builds the line from an already formatted message and appends it. Lines logged while no
// LogLines exists (before CreateLogLines or after ReleaseLogLines) are dropped: there is no
// list that could keep them, and the next save would not be theirs.
void AppendLogLine(std::string_view message) {
  LogLine line{FormatLogPrefix(platform::ThePlatform().GetLocalTime()), threadLogOwner, 0};
  const int k = LogOffsetForPrefix(line.text);
  std::lock_guard lock(logMutex);
  if (!logLines) return;
  // A unit alone: the run under way is the station, and the station's lines are its own.
  if (line.owner == 0 && runsUnderWay.size() == 1 && stationUnits <= 1) {
    line.owner = runsUnderWay.front().id;
  }
  for (const LogRun& run : runsUnderWay) {
    if (run.id != line.owner) continue;
    if (!run.tagged) break;
    line.text += ScrambleLogText(run.tagText, k);
    line.tagLength = run.tagText.size();
    break;
  }
  line.text += ScrambleLogText(message.substr(0, kMaxLogMessage), k);
  logLines->push_back(std::move(line));
}

unsigned char ScrambleChar(signed char c, int k) {
  const int h = c / 100;  // integer division truncates toward zero
  const int r = c - 100 * h;
  const int t = r / 10;
  const int u = r - 10 * t;
  int v = 100 * h + 10 * u + t + k;
  if (v < 32) v += 220;
  return static_cast<unsigned char>(((v % 256) + 256) % 256);
}

// A registry text value read into a 256-byte buffer, as text. The bytes are untrusted: the text
// ends at the first zero, at the reported size or at the buffer's end, whichever comes first.
// A value that is missing, does not fit (kErrorMoreData leaves the buffer undefined) or cannot
// be read shows as the empty text, so its line still appears and says nothing false.
std::string ReadRegistryText(platform::Handle key, const char* valueName) {
  std::array<std::uint8_t, kRegistryTextSize> buffer{};
  std::uint32_t size = buffer.size();
  std::uint32_t type = 0;
  const long rc =
      platform::ThePlatform().RegQueryValueExA(key, valueName, &type, buffer.data(), &size);
  if (rc != platform::kErrorSuccess) return {};
  const auto end = buffer.begin() + std::min<std::size_t>(size, buffer.size());
  return std::string(buffer.begin(), std::find(buffer.begin(), end, std::uint8_t{0}));
}

void WriteProcessorLines() {
  auto& os = platform::ThePlatform();
  for (int i = 0; i < 16; ++i) {
    char subKey[64];
    std::snprintf(subKey, sizeof subKey, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\%d", i);
    platform::Handle key = platform::kInvalidHandle;
    if (os.RegOpenKeyExA(subKey, &key) != platform::kErrorSuccess) break;
    WriteLog("%s%s", "CPU: ", ReadRegistryText(key, "ProcessorNameString").c_str());
    os.RegCloseKey(key);
  }
}

void WriteMemoryLines() {
  // The legacy status is unsigned 32-bit; the log shows it as signed, so more than 2 GiB reads
  // as a negative number (or -1 when clamped), as it always has.
  const platform::MemoryStatus status = platform::ThePlatform().GlobalMemoryStatus();
  WriteLog("%s%d Bytes", "TotalPhys: ", static_cast<std::int32_t>(status.totalPhys));
  WriteLog("%s%d Bytes", "AvailPhys: ", static_cast<std::int32_t>(status.availPhys));
}

void WriteWindowsVersionLines() {
  auto& os = platform::ThePlatform();
  platform::Handle key = platform::kInvalidHandle;
  if (os.RegOpenKeyExA("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", &key) !=
      platform::kErrorSuccess) {
    return;
  }
  for (const char* name :
       {"ProductName", "CSDVersion", "CurrentVersion", "CurrentBuild", "CurrentBuildNumber"}) {
    WriteLog("%s = %s", name, ReadRegistryText(key, name).c_str());
  }
  os.RegCloseKey(key);
}

}  // namespace

void CreateLogLines() {
  SetDeviceLogSink(&WriteLogText);
  std::lock_guard lock(logMutex);
  if (!logLines) logLines.emplace();
}

void ReleaseLogLines() {
  std::lock_guard lock(logMutex);
  logLines.reset();
  runsUnderWay.clear();
  stationForming = 0;
  stationUnits = 0;
}

bool LogLinesExist() {
  std::lock_guard lock(logMutex);
  return logLines.has_value();
}

std::vector<std::string> LogLinesSnapshot() {
  std::lock_guard lock(logMutex);
  std::vector<std::string> out;
  if (logLines) {
    out.reserve(logLines->size());
    for (const LogLine& line : *logLines) out.push_back(line.text);
  }
  return out;
}

void BeginLogRun(std::uint64_t run, const std::string& tag) {
  std::lock_guard lock(logMutex);
  runsUnderWay.push_back({run, LogTagText(tag), false});
  // Runs that have had company keep their tags to their ends, written or not meanwhile: a
  // reader of the file can follow each of them from then on.
  if (runsUnderWay.size() > 1 || stationForming > 1) {
    for (LogRun& under : runsUnderWay) under.tagged = true;
  }
}

void BeginLogStation(int runs) {
  std::lock_guard lock(logMutex);
  stationForming = runs;
}

void EndLogStation() {
  std::lock_guard lock(logMutex);
  stationForming = 0;
}

void EndLogRun(std::uint64_t run) {
  std::lock_guard lock(logMutex);
  std::erase_if(runsUnderWay, [run](const LogRun& entry) { return entry.id == run; });
}

void SetLogStationUnits(std::size_t units) {
  std::lock_guard lock(logMutex);
  stationUnits = units;
}

std::uint64_t LogOwner() {
  return threadLogOwner;
}

void SetLogOwner(std::uint64_t run) {
  threadLogOwner = run;
}

std::vector<std::string> RunLogLines(std::uint64_t run, std::size_t from) {
  std::lock_guard lock(logMutex);
  std::vector<std::string> out;
  if (!logLines) return out;
  for (std::size_t i = from; i < logLines->size(); ++i) {
    if ((*logLines)[i].owner == run) out.push_back(Untagged((*logLines)[i]));
  }
  return out;
}

std::string LastLogLineOf(std::uint64_t run, std::size_t from) {
  std::lock_guard lock(logMutex);
  if (!logLines) return {};
  for (std::size_t i = logLines->size(); i-- > 0;) {
    const LogLine& line = (*logLines)[i];
    if (i < from || line.owner == run) return Untagged(line);
  }
  return {};
}

std::string LogTagText(const std::string& tag) {
  std::string text = "<";
  for (const char c : tag) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 0x20 && code < 0x7F && c != '>' && c != '\\') {
      text += c;
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", code);
      text += escape;
    }
  }
  return text + "> ";
}

std::optional<LogTagOfMessage> LogTagOf(std::string_view message) {
  if (message.empty() || message.front() != '<') return std::nullopt;
  const std::size_t close = message.find('>');
  if (close == std::string_view::npos || close + 1 >= message.size() || message[close + 1] != ' ') {
    return std::nullopt;
  }
  LogTagOfMessage found{{}, close + 2};
  const auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  for (std::size_t i = 1; i < close; ++i) {
    if (message[i] != '\\') {
      found.tag += message[i];
      continue;
    }
    // Only the writer's "\xHH": anything else is no tag of this program's.
    if (i + 3 >= close || message[i + 1] != 'x' || hex(message[i + 2]) < 0 ||
        hex(message[i + 3]) < 0) {
      return std::nullopt;
    }
    found.tag += static_cast<char>(hex(message[i + 2]) * 16 + hex(message[i + 3]));
    i += 3;
  }
  return found;
}

std::size_t LogLineCount() {
  std::lock_guard lock(logMutex);
  return logLines ? logLines->size() : 0;
}

std::string LastLogLine() {
  std::lock_guard lock(logMutex);
  return logLines && !logLines->empty() ? logLines->back().text : std::string{};
}

void WriteLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = FormatLogMessage(format, args);
  va_end(args);
  AppendLogLine(message);
}

void WriteLogText(std::string_view message) {
  // The text stands as a "%s" argument would: it ends at its first zero byte.
  AppendLogLine(message.substr(0, message.find('\0')));
}

std::string ScrambleLogText(std::string_view text, int k) {
  std::string out(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    out[i] = static_cast<char>(ScrambleChar(static_cast<signed char>(text[i]), k));
  }
  return out;
}

std::string UnscrambleLogText(std::string_view text, int k) {
  // Messages are 7-bit text, and the codes 0 to 127 map one-to-one for every offset, so the
  // inverse of that part of the table gives the message back.
  std::array<char, 256> inverse;
  inverse.fill('?');
  for (int c = 127; c >= 0; --c) inverse[ScrambleChar(static_cast<signed char>(c), k)] = c;
  std::string out(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    out[i] = inverse[static_cast<unsigned char>(text[i])];
  }
  return out;
}

int LogOffsetForPrefix(std::string_view prefix) {
  // The seconds' two digits are the 18th and 19th characters of the prefix.
  if (prefix.size() < 19) return 0;
  int k = 0;
  for (char digit : prefix.substr(17, 2)) {
    if (digit >= '0' && digit <= '9') k += digit - '0';
  }
  return k;
}

void WriteHostReport() {
  WriteLog("%s", "=======Get CPU Information==============");
  WriteProcessorLines();
  WriteLog("%s", "=======Get Memory Information===========");
  WriteMemoryLines();
  WriteLog("%s", "=======Get Windows OS Information=======");
  WriteWindowsVersionLines();
  WriteLog("Test program version : %s", "JX RVM 3.0.0.1 Build Date: 2016-11-10");
  WriteLog("%s", "========================================");
}

// WriteFile may move fewer bytes than asked; keep going until all are out or it fails.
bool WriteAllBytes(platform::Handle file, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - written, 1u << 20);
    std::uint32_t done = 0;
    if (!platform::ThePlatform().WriteFile(file, bytes.data() + written,
                                           static_cast<std::uint32_t>(chunk), &done) ||
        done == 0 || done > chunk) {
      return false;
    }
    written += done;
  }
  return true;
}

bool SaveLogLines(const char* fileName) {
  std::string bytes;
  for (const std::string& line : LogLinesSnapshot()) {
    bytes += line;
    bytes += "\r\n";
  }
  auto& os = platform::ThePlatform();
  const platform::Handle file =
      os.CreateFileA(fileName, platform::kGenericWrite, 0, platform::kCreateAlways);
  if (file == platform::kInvalidHandle) return false;
  const bool written = WriteAllBytes(file, bytes);
  return os.CloseHandle(file) && written;
}

std::string FormatDateTime(const platform::LocalTime& t) {
  char text[128];
  std::snprintf(text, sizeof text, "%4d-%02d-%02d %2d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

std::string ClearLogText(const std::string& line) {
  if (line.size() < kLogPrefixLength) return line;
  const std::string_view prefix(line.data(), kLogPrefixLength);
  return std::string(prefix) + UnscrambleLogText(std::string_view(line).substr(kLogPrefixLength),
                                                 LogOffsetForPrefix(prefix));
}
