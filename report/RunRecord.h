// A run's record: the unit, the times, the result word, each row's story (icon, times, attempts,
// memo lines, prompts and answers) and the run's log in clear. The console gathers it as the run
// goes (the hooks below) and keeps it in "TestRecords" when the run ends; this file owns the
// gathering state, guarded by one lock.
#pragma once

#include <string>
#include <vector>

#include "platform/Platform.h"

namespace ui {
class ListView;
}
struct DeviceEntry;

// The record's format; docs/run-records.md describes every field. Raise it when a field changes
// meaning or goes away; adding a field keeps it.
inline constexpr int kRunRecordVersion = 1;
inline constexpr const char* kRunRecordSchema = "veltrane-run-record";
inline constexpr const char* kProgramName = "Veltrane";
inline constexpr const char* kProgramVersion = "0.1.0";

struct RecordPrompt {
  std::string text;
  std::string caption;
  std::string buttons;  // "Retry/Cancel"
  std::string icon;     // "error", "warning", "information", "none"
  std::string answer;   // "Retry"
};

struct RecordRow {
  int number = 0;  // 1-based, as the memo numbers it
  std::string caption;
  std::string icon;  // "", "passed", "failed", "warned"
  bool begun = false;
  bool ended = false;  // an outcome was reported
  platform::LocalTime firstStart;
  platform::LocalTime lastEnd;
  int attempts = 0;
  std::vector<std::string> memo;  // the outcome lines the result memo shows for the row
  std::vector<RecordPrompt> prompts;
};

struct RunRecord {
  std::string program;   // "Veltrane 0.1.0"
  std::string computer;  // the station's computer name
  std::string item;      // the combo item, "[0] TM36K (TK36K0001)"
  struct Unit {
    std::string model;        // "TM36K"
    std::string description;  // the USB device description
    std::string usbIds;       // VidPidText: "VID_vvvv&PID_pppp"
    std::string serial;
    std::string firmware;
    std::vector<std::string> identification;  // every field of the identification reply
    std::vector<std::string> drives;          // "E", "F"
    std::string printerQueue;
  } unit;
  platform::LocalTime start;
  platform::LocalTime end;
  std::string result;  // the result word as the result dialog shows it
  std::vector<RecordRow> rows;
  std::vector<RecordPrompt> promptsOutsideRows;  // asked before any row had begun
  std::vector<std::string> memo;                 // the whole result memo
  std::vector<std::string> log;                  // the run's log lines, messages in clear
  bool fromLog = false;  // rebuilt from a saved "Test.log" (no prompts, no warnings)
};

// Texts of a message box's buttons and icon, and of an answer ("Retry/Cancel", "error", "Retry").
std::string ButtonsText(unsigned flags);
std::string IconText(unsigned flags);
std::string AnswerText(int answer);
// "passed", "failed", "warned" or "" for a step icon.
const char* IconWord(int imageIndex);

// --- Hooks of the console: each takes the lock, none blocks otherwise. -------------------------
// Start: the unit, the combo item and the rows' captions; the run's log begins here. Logs first
// the lines of records the last run could not write. GUI thread.
void BeginRunRecord(const DeviceEntry& entry, const std::string& item, const ui::ListView& rows);
// A status operation on row `index` (a kIcon* value for an outcome, -1 for a begin) and the
// memo line it showed. Any thread.
void NoteStep(int index, int icon, const std::string& memoLine);
// A prompt and the answer it got: it belongs to the row begun last. Any thread.
void NotePrompt(const std::string& text, const char* caption, unsigned flags, int answer);
// The end of the run: takes the result word and memo from the result dialog as FinishRun filled
// it (Label2, Memo1), and the times, and keeps the record in "TestRecords". A record that cannot be
// written changes nothing else: the next run logs one line saying so and tries again. GUI thread.
void KeepRunRecord(const std::string& result, const std::vector<std::string>& memo,
                   const platform::LocalTime& start, const platform::LocalTime& end);
// The record of the last run that ended (veltrane-bench writes it with --json).
RunRecord LastRunRecord();
// Forgets pending records and lines (program start in tests).
void ResetRunRecords();

// A stored log line with its message in clear (shorter lines come back as they are).
std::string ClearLogText(const std::string& line);

// Whole seconds from a to b (b earlier gives a negative number).
long long SecondsBetween(const platform::LocalTime& a, const platform::LocalTime& b);
// "2026-12-07T09:05:03.25"; empty for a time never set (year 0).
std::string IsoTime(const platform::LocalTime& t);
