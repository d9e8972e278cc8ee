// Keeping records as files in "TestRecords" next to "Test.log": each written whole (a temporary
// file, then a rename that never replaces an existing file), history.csv replaced whole with one
// more line. What could not be written stays pending and is tried again at the next run.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "report/RecordTypes.h"

inline constexpr const char* kRecordFolder = "TestRecords";
inline constexpr const char* kHistoryFile = "history.csv";
// Records kept in memory while their folder cannot be written; the oldest goes first.
inline constexpr std::size_t kMaxPendingRecords = 20;

// Writes the whole text as `folder/name`, never replacing a file: false (and `error` says why)
// when the name is taken or the file cannot be written.
bool WriteNewFile(const std::string& folder, const std::string& name, const std::string& text,
                  std::string& error);
// Replaces `folder/name` with the text, whole.
bool ReplaceFile(const std::string& folder, const std::string& name, const std::string& text,
                 std::string& error);

// Not thread-safe: the recorder calls it under its lock.
class RecordKeeper {
 public:
  // Writes this record's files and every pending one's, in order.
  void Keep(const RunRecord& record);
  // The log lines of what could not be written since the last call, and forgets them.
  std::vector<std::string> TakeFailureLines();
  // Every such line since the keeper began, taken or not.
  const std::vector<std::string>& EveryFailureLine() const { return everyFailure_; }
  std::size_t PendingCount() const { return pending_.size(); }

 private:
  struct Pending {
    RunRecord record;
    std::string baseName;  // set once the report files are written
    bool historyWritten = false;
    bool reported = false;  // its failure has been logged
  };
  // Writes the record's files, and its history line when `withHistory`; false with the failure
  // line's text ("TestRecords/NAME.json: reason") when something could not be written.
  bool TryWrite(Pending& p, bool withHistory, std::string& failure);
  void NoteFailure(std::string line);
  std::deque<Pending> pending_;
  std::vector<std::string> failureLines_;
  std::vector<std::string> everyFailure_;
  std::string lastBase_;  // the base name given last, and the suffix it got
  int lastSuffix_ = 0;
};
