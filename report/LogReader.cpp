// Reading "Test.log" back in clear.
#include "report/LogReader.h"

#include <cstdio>
#include <istream>
#include <ostream>

#include "report/TestLog.h"

namespace {

constexpr std::size_t kShownBadLine = 80;

void ReportBadLine(std::ostream& err, unsigned long lineNumber, std::string_view line) {
  const bool cut = line.size() > kShownBadLine;
  err << "line " << lineNumber
      << ": not a log line: " << PrintableText(line.substr(0, kShownBadLine)) << (cut ? "..." : "")
      << '\n';
}

}  // namespace

bool IsLogPrefix(std::string_view line) {
  // 'Y' is a year digit (leading blanks allowed), 'N' a digit, 'H' a digit or blank.
  static constexpr std::string_view kPattern = "YYYY-NN-NN HN:NN:NN : [0] ";
  static_assert(kPattern.size() == kLogPrefixLength);
  if (line.size() < kLogPrefixLength) return false;
  bool yearStarted = false;
  for (std::size_t i = 0; i < kPattern.size(); ++i) {
    const char c = line[i];
    const bool digit = c >= '0' && c <= '9';
    switch (kPattern[i]) {
      case 'Y':
        if (c == ' ' && !yearStarted && i < 3) continue;
        if (!digit) return false;
        yearStarted = true;
        break;
      case 'N':
        if (!digit) return false;
        break;
      case 'H':
        if (!digit && c != ' ') return false;
        break;
      default:
        if (c != kPattern[i]) return false;
    }
  }
  return true;
}

std::string PrintableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 32 && code < 127) {
      out += c;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", code);
      out += escape;
    }
  }
  return out;
}

std::optional<std::string> ClearLogLine(std::string_view line) {
  if (!IsLogPrefix(line)) return std::nullopt;
  const std::string_view prefix = line.substr(0, kLogPrefixLength);
  const std::string_view message = line.substr(kLogPrefixLength);
  return std::string(prefix) +
         PrintableText(UnscrambleLogText(message, LogOffsetForPrefix(prefix)));
}

bool IsLineOfUnit(std::string_view line, std::string_view unit) {
  if (!IsLogPrefix(line)) return false;
  // The whole tag, read in clear and its escapes undone, is the unit: never a part of a tag.
  const std::string message = UnscrambleLogText(
      line.substr(kLogPrefixLength), LogOffsetForPrefix(line.substr(0, kLogPrefixLength)));
  const std::optional<LogTagOfMessage> tag = LogTagOf(message);
  return tag && tag->tag == unit;
}

int ReadLogStream(std::istream& in, std::ostream& out, std::ostream& err, std::string_view unit) {
  bool allLogLines = true;
  unsigned long lineNumber = 0;
  unsigned long unitLines = 0;
  std::string line;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::optional<std::string> clear = ClearLogLine(line);
    if (!clear) {
      ReportBadLine(err, lineNumber, line);
      allLogLines = false;
      continue;
    }
    if (!unit.empty()) {
      if (!IsLineOfUnit(line, unit)) continue;
      ++unitLines;
    }
    out << *clear << '\n';
  }
  if (in.bad()) {
    err << "veltrane-log: read error after line " << lineNumber << '\n';
    return kUsageOrIoError;
  }
  if (!unit.empty() && unitLines == 0) {
    err << "veltrane-log: no line of unit " << PrintableText(unit)
        << " (a unit's lines carry its tag only once another run was under way with its run)\n";
  }
  out.flush();
  if (!out) {
    err << "veltrane-log: cannot write the output\n";
    return kUsageOrIoError;
  }
  return allLogLines ? kAllLogLines : kSomeNotLogLines;
}
