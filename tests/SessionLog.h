// Reading a finished session the way the operator reads it: step headings in the log and the
// result memo, one row's memo lines, log lines and commands by count and position, and the bench
// file snippets that script a session's faults. Plain helpers; they own nothing.
#pragma once

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace session {

// A run's record (RecordJson) without its times: what the run did, whenever it did it. A run on
// a station and the same run alone must agree on it.
inline nlohmann::json WithoutTimes(nlohmann::json record) {
  constexpr std::size_t kPrefix = 26;  // a log line's date and time
  for (const char* key : {"start", "end", "seconds"}) record.erase(key);
  for (auto& row : record["rows"]) {
    for (const char* key : {"first_start", "last_end", "seconds"}) row.erase(key);
  }
  for (auto& line : record["log"]) line = line.get<std::string>().substr(kPrefix);
  return record;
}

inline const std::string kSeparator = "----------------------------------------";
inline const std::string kMemoSeparator = "---------------------------------------------";
inline const std::string kOkLine = "    [OK] The task has been fulfilled.";

inline std::string ErrorLine(const std::string& message) {
  return "    [ERROR] " + message;
}

// The rows of a model's step list, for the headings the log and the memo show.
struct StepRows {
  std::vector<std::string> rows;

  std::string Heading(int row) const {
    return "[" + std::to_string(row + 1) + "] " + rows.at(static_cast<std::size_t>(row));
  }
  std::string MemoHeading(int row) const {
    char line[80];
    std::snprintf(line, sizeof line, "%2d. %s", row + 1,
                  rows.at(static_cast<std::size_t>(row)).c_str());
    return line;
  }
  // The memo lines of one row: its heading and its outcome lines.
  std::vector<std::string> MemoOfRow(const std::vector<std::string>& memo, int row) const {
    const auto begin = std::find(memo.begin(), memo.end(), MemoHeading(row));
    if (begin == memo.end()) return {};
    return {begin, std::find(begin, memo.end(), kMemoSeparator)};
  }
};

// A healthy log's steps: each behind a separator line, and one more separator at the end.
inline void AppendSteps(std::vector<std::string>& log,
                        const std::vector<std::vector<std::string>>& steps) {
  for (const auto& step : steps) {
    log.push_back(kSeparator);
    log.insert(log.end(), step.begin(), step.end());
  }
  log.push_back(kSeparator);
}

// An expectation ending in "*" matches any line that begins with the rest (replies whose
// sensor characters are the bench's business).
inline bool LineMatches(const std::string& expected, const std::string& actual) {
  if (!expected.empty() && expected.back() == '*') {
    return actual.starts_with(std::string_view(expected).substr(0, expected.size() - 1));
  }
  return expected == actual;
}

// The device information listing's field lines (behind the nine-space margin) belong to the
// command link's format, not to the sequence.
inline std::vector<std::string> WithoutListing(const std::vector<std::string>& log) {
  std::vector<std::string> out;
  for (const std::string& line : log) {
    if (!line.starts_with("         ")) out.push_back(line);
  }
  return out;
}

inline std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// Index of the n-th (from 1) occurrence of a line or command, or npos.
inline std::size_t NthOf(const std::vector<std::string>& lines, const std::string& line, int n) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == line && --n == 0) return i;
  }
  return std::string::npos;
}

// What follows index `at` (exclusive), at most `count` entries.
inline std::vector<std::string> After(const std::vector<std::string>& lines, std::size_t at,
                                      std::size_t count = std::string::npos) {
  if (at == std::string::npos || at >= lines.size()) return {};
  const std::size_t end = std::min(lines.size(), at + 1 + std::min(count, lines.size()));
  return {lines.begin() + static_cast<std::ptrdiff_t>(at) + 1,
          lines.begin() + static_cast<std::ptrdiff_t>(end)};
}

// An EEPROM holding the bytes 00..7F, as a bench file writes it, and its 16 dump lines.
inline std::string CountingEeprom() {
  std::string hex;
  for (int i = 0; i < 128; ++i) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02X", i);
    hex += byte;
  }
  return hex;
}
inline std::vector<std::string> CountingEepromLines() {
  std::vector<std::string> lines;
  for (int start = 0; start < 128; start += 8) {
    char line[64];
    std::snprintf(line, sizeof line, "%02X:%02X  %02X %02X %02X %02X %02X %02X %02X %02X", start,
                  start + 7, start, start + 1, start + 2, start + 3, start + 4, start + 5,
                  start + 6, start + 7);
    lines.push_back(line);
  }
  return lines;
}

// Bench fault entries.
inline std::string ReplyFault(const std::string& command, int occurrence,
                              const std::string& answer) {
  return R"({"kind": "reply", "command": ")" + command + R"(", "occurrence": )" +
         std::to_string(occurrence) + R"(, "answer": ")" + answer + R"("})";
}
inline std::string TrayFault(const std::string& kind, char letter) {
  return R"({"kind": ")" + kind + R"(", "drive": ")" + std::string(1, letter) + R"("})";
}
// A condition or event once the unit has answered its n-th command (discovery's included).
inline std::string AfterCommand(const std::string& kind, int n, const std::string& extra = "") {
  return R"({"kind": ")" + kind + R"(", "after_command": )" + std::to_string(n) + extra + "}";
}

inline std::string JoinedList(const std::vector<std::string>& entries) {
  std::string out;
  for (const std::string& e : entries) out += (out.empty() ? "" : ",") + e;
  return out;
}

}  // namespace session
