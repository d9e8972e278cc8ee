// The record of one run, as the console keeps it in "TestRecords" and the tools read it back:
// the unit, the times, the result word, each row's story and the run's log in clear. Plain data
// and the texts of its fields; who gathers it is report/RunRecord.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

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
  // The run's identity, so that whoever gathers records from many stations counts each run once
  // ("xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx"; version 8, derived from the content, for a record
  // rebuilt from a log or made where the system has no random source).
  std::string runId;
  std::string utcOffset;  // the station's zone at Start, "+01:00"; empty when unknown (a log)
  int socket = -1;        // the unit's item in the station's list at Start; -1 when unknown
};

// Texts of a message box's buttons and icon, and of an answer ("Retry/Cancel", "error", "Retry").
std::string ButtonsText(unsigned flags);
std::string IconText(unsigned flags);
std::string AnswerText(int answer);

// 16 bytes as a UUID text of this version (4: random, 8: derived), its variant bits set.
std::string UuidText(const unsigned char (&bytes)[16], int version);
// A new run's identity: 128 bits of the platform's random source as a version-4 UUID; empty
// when the platform has no source.
std::string NewRunId();
// An identity derived from the text alone (a version-8 UUID of a 128-bit hash): the same text
// gives the same id, every time.
std::string ContentRunId(std::string_view text);
// "+01:00", "-05:30", "+00:00".
std::string UtcOffsetText(int minutes);

// Whole seconds from a to b (b earlier gives a negative number).
long long SecondsBetween(const platform::LocalTime& a, const platform::LocalTime& b);
// "2026-12-07T09:05:03.25"; empty for a time never set (year 0).
std::string IsoTime(const platform::LocalTime& t);
