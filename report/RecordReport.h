// What a run's record becomes: its JSON, its self-contained HTML report, its history.csv line and
// its file name; and records rebuilt from a saved "Test.log". Pure functions, no state.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "report/RecordTypes.h"

// Texts of the program are bytes: the system's names and descriptions in UTF-8 (as the platform
// gives them), a unit's replies as they came. Records take a valid UTF-8 sequence as its character
// and read any other byte as Latin-1, so every byte shows as a character and the JSON, the report
// and the history are valid UTF-8 whatever a unit replied.
std::string RecordUtf8(std::string_view text);

// The record's JSON as its file holds it: the members of each object in the byte order of their
// names, two-space indents, a line end at the end (docs/run-records.md). Tools that read it back
// use RecordJson (report/RecordJson.h).
std::string RecordJsonText(const RunRecord& record);

// The report: one HTML page with its style and icons inside, no script, no outside file. Every
// text from the record is escaped.
std::string RecordHtml(const RunRecord& record);
// Several runs on one page, each starting a printed page (veltrane-log --html).
std::string RecordsHtml(const std::vector<RunRecord>& records);
// The text as HTML character data or attribute value: markup characters as entities, UTF-8
// sequences as they are, other bytes above 127 as Latin-1 character references, control
// characters as U+FFFD.
std::string HtmlText(std::string_view text);

// history.csv: its header line and a record's line (CR LF ended, RFC 4180 quoting; a field that a
// spreadsheet would run as a formula starts with an apostrophe).
std::string HistoryHeader();
std::string HistoryLine(const RunRecord& record, const std::string& recordFile);
std::string CsvField(std::string_view text);

// "YYYYMMDD-HHMMSS-MODEL-SERIAL" of the end time, model and serial, each name part in a form
// every file system takes ("NOSERIAL" when the unit gave none).
std::string RecordBaseName(const RunRecord& record);
// Letters, digits, '.', '_' and '-' kept, every other byte as '_', at most 40 characters; `empty`
// for a text with no character to keep.
std::string SafeNamePart(std::string_view text, const char* empty);

// Every run of a saved "Test.log" (CR LF or LF lines) as a record: the host report opens a run;
// rows come from the step headings, an "[ERROR]" line marks a row failed. A log keeps no prompt
// and no warning, so these records have none; their result word is "Error" or "Success".
// (report/LogRecords.cpp: the program never links it.)
std::vector<RunRecord> RecordsFromLog(std::istream& in);
