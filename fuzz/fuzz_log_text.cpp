// Fuzz target: the scrambled message part of Test.log and veltrane-log's reader. Scrambling any
// 8-bit message keeps it on one line; 7-bit messages come back exactly; a line built as WriteLog
// builds it reads back in clear; and any bytes at all, read as a whole log file, are either log
// lines or reported, never a crash.
//
// Input: a mode byte, then the text (modes 0-1: a message with a date and an offset; mode 2: a
// whole file).
#include <cstdio>
#include <sstream>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "report/LogReader.h"
#include "report/TestLog.h"

namespace {

constexpr int kOffsets = 15;  // the sum of two seconds digits: 0 to 14

void CheckScramble(const std::string& message) {
  for (int k = 0; k < kOffsets; ++k) {
    const std::string scrambled = ScrambleLogText(message, k);
    fuzz::Check(scrambled.size() == message.size(), "scrambling keeps the length");
    fuzz::Check(scrambled.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
                "a scrambled message holds no line end and no zero");
    const std::string back = UnscrambleLogText(scrambled, k);
    fuzz::Check(back.size() == message.size(), "unscrambling keeps the length");
    for (std::size_t i = 0; i < message.size(); ++i) {
      if (static_cast<unsigned char>(message[i]) < 128) {
        fuzz::Check(back[i] == message[i], "a 7-bit character comes back as it was");
      }
    }
  }
}

// A line as WriteLog writes it, for a date the input chooses, read back by the reader.
void CheckLogLine(fuzz::ByteStream& input) {
  const int year = 1000 + input.Word() % 9000;
  const int month = 1 + input.Byte() % 12;
  const int day = 1 + input.Byte() % 28;
  const int hour = input.Byte() % 24;
  const int minute = input.Byte() % 60;
  const int second = input.Byte() % 60;
  std::string message = input.Rest().substr(0, kMaxLogMessage);
  for (char& c : message) c = static_cast<char>(c & 0x7F);
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%4d-%02d-%02d %2d:%02d:%02d : [0] ", year, month, day, hour,
                minute, second);
  fuzz::Check(LogOffsetForPrefix(prefix) == second / 10 + second % 10,
              "the offset is the sum of the seconds digits");
  const std::string line = prefix + ScrambleLogText(message, LogOffsetForPrefix(prefix));
  const std::optional<std::string> clear = ClearLogLine(line);
  fuzz::Check(clear.has_value(), "a written line is a log line");
  fuzz::Check(*clear == prefix + PrintableText(message), "a written line reads back in clear");
}

// Any bytes as a log file: each line is read back or reported, and the result says which.
void CheckFile(const std::string& bytes) {
  std::istringstream in(bytes);
  std::ostringstream out;
  std::ostringstream err;
  const int result = ReadLogStream(in, out, err);
  fuzz::Check(result == kAllLogLines || result == kSomeNotLogLines, "a string stream reads whole");
  fuzz::Check((result == kSomeNotLogLines) == !err.str().empty(),
              "bad lines are reported exactly when the result says so");
  const std::string shown = out.str() + err.str();
  for (char c : shown) {
    const auto code = static_cast<unsigned char>(c);
    fuzz::Check(c == '\n' || (code >= 32 && code < 127), "the output is printable text");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ByteStream input(data, size);
  switch (input.Byte() % 3) {
    case 0:
      CheckScramble(input.Rest());
      break;
    case 1:
      CheckLogLine(input);
      break;
    default:
      CheckFile(input.Rest());
      break;
  }
  return 0;
}
