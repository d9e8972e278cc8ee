// veltrane-log: reads a "Test.log" and prints every line with its message in clear. Lines that
// are not log lines are reported on stderr with their line number.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "console/TestLog.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

constexpr int kAllLogLines = 0;
constexpr int kSomeNotLogLines = 1;
constexpr int kUsageOrIoError = 2;
constexpr std::size_t kShownBadLine = 80;

void PrintUsage(std::ostream& out) {
  out << "usage: veltrane-log FILE\n"
         "       veltrane-log -        (reads the log from standard input)\n"
         "Prints each line of a test log with its message in clear.\n"
         "Exit status: 0 all lines were log lines, 1 some were not, 2 usage or I/O error.\n";
}

// The prefix as WriteLog builds it: "%4d-%02d-%02d %2d:%02d:%02d : [0] ".
// 'Y' is a year digit (leading blanks allowed), 'N' a digit, 'H' a digit or blank.
bool IsLogPrefix(std::string_view line) {
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

// Control characters would break the output's lines or drive the terminal: they are shown as
// C escapes. A backslash of the message itself stays as it is.
std::string Printable(std::string_view text) {
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

void ReportBadLine(unsigned long lineNumber, std::string_view line) {
  const bool cut = line.size() > kShownBadLine;
  std::cerr << "line " << lineNumber
            << ": not a log line: " << Printable(line.substr(0, kShownBadLine))
            << (cut ? "..." : "") << '\n';
}

int ReadLog(std::istream& in) {
  bool allLogLines = true;
  unsigned long lineNumber = 0;
  std::string line;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!IsLogPrefix(line)) {
      ReportBadLine(lineNumber, line);
      allLogLines = false;
      continue;
    }
    const std::string_view prefix = std::string_view(line).substr(0, kLogPrefixLength);
    const std::string_view message = std::string_view(line).substr(kLogPrefixLength);
    std::cout << prefix << Printable(UnscrambleLogText(message, LogOffsetForPrefix(prefix)))
              << '\n';
  }
  if (in.bad()) {
    std::cerr << "veltrane-log: read error after line " << lineNumber << '\n';
    return kUsageOrIoError;
  }
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "veltrane-log: cannot write the output\n";
    return kUsageOrIoError;
  }
  return allLogLines ? kAllLogLines : kSomeNotLogLines;
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  if (argc != 2) {
    PrintUsage(std::cerr);
    return kUsageOrIoError;
  }
  const std::string_view argument = argv[1];
  if (argument == "--help" || argument == "-h") {
    PrintUsage(std::cout);
    return kAllLogLines;
  }
  if (argument == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);  // a log is 8-bit bytes, not console text
#endif
    return ReadLog(std::cin);
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::cerr << "veltrane-log: cannot open " << argv[1] << ": " << std::strerror(errno) << '\n';
    return kUsageOrIoError;
  }
  return ReadLog(file);
}
