// Reading a saved "Test.log" back in clear: which lines are log lines, and each one's message
// unscrambled. Shared by veltrane-log and its fuzz target; holds no state.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

// veltrane-log's exit codes, which ReadLogStream returns.
inline constexpr int kAllLogLines = 0;
inline constexpr int kSomeNotLogLines = 1;
inline constexpr int kUsageOrIoError = 2;

// True when the line opens with the prefix WriteLog builds: "%4d-%02d-%02d %2d:%02d:%02d : [0] "
// (leading blanks allowed in the year, the hour's tens digit may be a blank).
bool IsLogPrefix(std::string_view line);

// The text with control and 8-bit characters as C escapes ("\r", "\x8F"), so that it cannot
// break an output line or drive a terminal. A backslash of the text itself stays as it is.
std::string PrintableText(std::string_view text);

// A log line (without its line end) in clear: the prefix as it is, then the message
// unscrambled and made printable. nullopt when the line is not a log line.
std::optional<std::string> ClearLogLine(std::string_view line);

// True when the log line's message, in clear, starts with the tag of that unit ("<SERIAL> ", or
// its item where units look alike; LogTagText): a line the unit's run wrote once another run was
// under way with it. The whole tag must be the unit, never its start. A run alone tags nothing.
bool IsLineOfUnit(std::string_view line, std::string_view unit);

// Reads a whole log: each log line in clear on out; each other line reported on err with its
// line number (CR LF and LF line ends alike). With a unit, only the log lines of that unit
// (IsLineOfUnit) are printed, tag included, and err says so when there were none. Returns
// kAllLogLines, kSomeNotLogLines, or kUsageOrIoError when reading or writing failed.
int ReadLogStream(std::istream& in, std::ostream& out, std::ostream& err,
                  std::string_view unit = {});
