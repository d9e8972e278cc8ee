// A record file read back for the fleet: checked against the record's rules, its texts as the
// station held them, its identity and its times as UTC instants.
#pragma once

#include <string>
#include <string_view>

#include "report/RecordTypes.h"

namespace fleet {

struct ReadRecord {
  RunRecord record;          // texts in the station's bytes (Latin-1), as the report shows them
  std::string contentHash;   // the file's bytes named (the same run copied: the same hash)
  int utcOffsetMinutes = 0;  // 0 where the record names no zone (its times are taken as UTC)
  bool zoneKnown = false;
};

// False with the reason (one line: "not JSON", "truncated", "rows[2].icon: not a string", ...)
// when the text is not a run record this program can store.
bool ReadRecordText(std::string_view text, ReadRecord& out, std::string& reason);

// Milliseconds since 1970 UTC of a local time at this offset; the inverse of LocalAt.
long long UtcMs(const platform::LocalTime& t, int offsetMinutes);
platform::LocalTime LocalAt(long long utcMs, int offsetMinutes);
// "+01:00" -> 60; false for any other form.
bool ParseUtcOffset(std::string_view text, int& minutes);
// A stored UTF-8 text as the station's bytes, for its own report page: a character up to U+00FF
// becomes its Latin-1 byte, one beyond stays in UTF-8 (as a name the system gave).
std::string Utf8ToLatin1(std::string_view text);

}  // namespace fleet
