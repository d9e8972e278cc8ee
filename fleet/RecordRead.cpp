// Reading a record file back: nlohmann's parser, then every field the store keeps checked by name.
#include "fleet/RecordRead.h"

#include <nlohmann/json.hpp>

#include "report/RecordReport.h"

namespace fleet {
namespace {

using nlohmann::json;

// A rule the record breaks: its path and what is wrong.
struct Broken {
  std::string what;
};

const json& Member(const json& object, const char* key, const std::string& at) {
  if (!object.is_object()) throw Broken{at + ": not an object"};
  const auto found = object.find(key);
  if (found == object.end()) throw Broken{at + (at.empty() ? "" : ".") + key + ": missing"};
  return *found;
}

std::string Path(const std::string& at, const char* key) {
  return at.empty() ? std::string(key) : at + "." + key;
}

// A record's texts are kept as it holds them, in UTF-8: the station writes valid UTF-8 as it is
// (names the system gave) and a byte of a unit's reply as its Latin-1 character.
std::string Text(const json& object, const char* key, const std::string& at = {}) {
  const json& value = Member(object, key, at);
  if (!value.is_string()) throw Broken{Path(at, key) + ": not a string"};
  return value.get<std::string>();
}

long long Integer(const json& object, const char* key, const std::string& at = {}) {
  const json& value = Member(object, key, at);
  if (!value.is_number_integer()) throw Broken{Path(at, key) + ": not an integer"};
  return value.get<long long>();
}

std::vector<std::string> Texts(const json& object, const char* key, const std::string& at = {}) {
  const json& value = Member(object, key, at);
  if (!value.is_array()) throw Broken{Path(at, key) + ": not a list"};
  std::vector<std::string> out;
  for (const json& item : value) {
    if (!item.is_string()) throw Broken{Path(at, key) + ": an item is not a string"};
    out.push_back(item.get<std::string>());
  }
  return out;
}

bool Digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// "YYYY-MM-DDTHH:MM:SS.hh".
bool ParseTime(std::string_view text, platform::LocalTime& t) {
  if (text.size() != 22 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != '.') {
    return false;
  }
  if (!Digits(text, 0, 4, t.year) || !Digits(text, 5, 2, t.month) || !Digits(text, 8, 2, t.day) ||
      !Digits(text, 11, 2, t.hour) || !Digits(text, 14, 2, t.minute) ||
      !Digits(text, 17, 2, t.second) || !Digits(text, 20, 2, t.hundredths)) {
    return false;
  }
  return t.year >= 1970 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 &&
         t.hour < 24 && t.minute < 60 && t.second < 61;
}

platform::LocalTime Time(const json& object, const char* key, const std::string& at = {}) {
  platform::LocalTime t;
  const json& value = Member(object, key, at);
  if (!value.is_string() || !ParseTime(value.get_ref<const std::string&>(), t)) {
    throw Broken{Path(at, key) + ": not a time"};
  }
  return t;
}

// A row's time: null where the row has none.
bool OptionalTime(const json& object, const char* key, const std::string& at,
                  platform::LocalTime& t) {
  if (Member(object, key, at).is_null()) return false;
  t = Time(object, key, at);
  return true;
}

std::vector<RecordPrompt> Prompts(const json& object, const char* key, const std::string& at) {
  const json& list = Member(object, key, at);
  if (!list.is_array()) throw Broken{Path(at, key) + ": not a list"};
  std::vector<RecordPrompt> prompts;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string here = Path(at, key) + "[" + std::to_string(i) + "]";
    prompts.push_back({Text(list[i], "text", here), Text(list[i], "caption", here),
                       Text(list[i], "buttons", here), Text(list[i], "icon", here),
                       Text(list[i], "answer", here)});
  }
  return prompts;
}

bool IsRunId(std::string_view id) {
  if (id.size() != 36) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    const char c = id[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void ReadRecordJson(const json& j, ReadRecord& out) {
  if (!j.is_object() || !j.contains("schema") || j["schema"] != kRunRecordSchema) {
    throw Broken{"not a run record"};
  }
  if (Integer(j, "version") != kRunRecordVersion) {
    throw Broken{"version " + j["version"].dump() + " is not known"};
  }
  RunRecord& r = out.record;
  const std::string source = Text(j, "source");
  if (source != "console" && source != "log") throw Broken{"source: neither console nor log"};
  r.fromLog = source == "log";
  r.program = Text(j, "program");
  r.computer = Text(j, "computer");
  r.item = Text(j, "item");
  const json& unit = Member(j, "unit", {});
  r.unit.model = Text(unit, "model", "unit");
  r.unit.serial = Text(unit, "serial", "unit");
  r.unit.firmware = Text(unit, "firmware", "unit");
  r.unit.usbIds = Text(unit, "usb_ids", "unit");
  r.unit.description = Text(unit, "description", "unit");
  r.unit.identification = Texts(unit, "identification", "unit");
  r.unit.drives = Texts(unit, "drives", "unit");
  r.unit.printerQueue = Text(unit, "printer_queue", "unit");
  r.start = Time(j, "start");
  r.end = Time(j, "end");
  if (Integer(j, "seconds") != SecondsBetween(r.start, r.end)) {
    throw Broken{"seconds: not the time from start to end"};
  }
  r.result = Text(j, "result");
  r.memo = Texts(j, "memo");
  r.log = Texts(j, "log");
  r.promptsOutsideRows = Prompts(j, "prompts_outside_rows", {});
  const json& rows = Member(j, "rows", {});
  if (!rows.is_array()) throw Broken{"rows: not a list"};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string at = "rows[" + std::to_string(i) + "]";
    RecordRow row;
    row.number = static_cast<int>(Integer(rows[i], "number", at));
    if (row.number != static_cast<int>(i) + 1) throw Broken{at + ".number: out of order"};
    row.caption = Text(rows[i], "caption", at);
    row.icon = Text(rows[i], "icon", at);
    if (row.icon != "" && row.icon != "passed" && row.icon != "failed" && row.icon != "warned") {
      throw Broken{at + ".icon: not an icon"};
    }
    row.attempts = static_cast<int>(Integer(rows[i], "attempts", at));
    row.begun = OptionalTime(rows[i], "first_start", at, row.firstStart);
    row.ended = OptionalTime(rows[i], "last_end", at, row.lastEnd);
    row.memo = Texts(rows[i], "memo", at);
    row.prompts = Prompts(rows[i], "prompts", at);
    r.rows.push_back(std::move(row));
  }
  if (const auto zone = j.find("utc_offset"); zone != j.end() && !zone->is_null()) {
    if (!zone->is_string() ||
        !ParseUtcOffset(zone->get_ref<const std::string&>(), out.utcOffsetMinutes)) {
      throw Broken{"utc_offset: not an offset"};
    }
    out.zoneKnown = true;
    r.utcOffset = zone->get<std::string>();
  }
  if (const auto socket = j.find("socket"); socket != j.end() && !socket->is_null()) {
    if (!socket->is_number_integer() || socket->get<long long>() < 0 ||
        socket->get<long long>() > 1000000) {
      throw Broken{"socket: not an item number"};
    }
    r.socket = socket->get<int>();
  }
  if (const auto id = j.find("run_id"); id != j.end() && !id->is_null()) {
    if (!id->is_string() || !IsRunId(id->get_ref<const std::string&>())) {
      throw Broken{"run_id: not a UUID"};
    }
    r.runId = id->get<std::string>();
  }
}

}  // namespace

std::string Utf8ToLatin1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      out.push_back(static_cast<char>(byte));
      continue;
    }
    // nlohmann has checked the UTF-8: the length follows from the lead byte.
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
    if (length == 2 && byte <= 0xC3 && i + 1 < text.size()) {
      out.push_back(static_cast<char>(((byte & 0x03) << 6) | (text[i + 1] & 0x3F)));
    } else {
      out.append(text.substr(i, length));  // beyond Latin-1: kept, the report shows UTF-8 whole
    }
    i += length - 1;
  }
  return out;
}

bool ParseUtcOffset(std::string_view text, int& minutes) {
  int hours = 0;
  int mins = 0;
  if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':' ||
      !Digits(text, 1, 2, hours) || !Digits(text, 4, 2, mins) || hours > 14 || mins > 59) {
    return false;
  }
  minutes = (text[0] == '-' ? -1 : 1) * (hours * 60 + mins);
  return true;
}

long long UtcMs(const platform::LocalTime& t, int offsetMinutes) {
  static const platform::LocalTime epoch{1970, 1, 1, 0, 0, 0, 0};
  return (SecondsBetween(epoch, t) - offsetMinutes * 60LL) * 1000 + t.hundredths * 10LL;
}

platform::LocalTime LocalAt(long long utcMs, int offsetMinutes) {
  const long long ms = utcMs + offsetMinutes * 60000LL;
  long long days = ms / 86400000;
  long long inDay = ms % 86400000;
  if (inDay < 0) {
    inDay += 86400000;
    --days;
  }
  // Civil date of a day number (days from 1970-01-01).
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long doe = days - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
  return {year,
          month,
          day,
          static_cast<int>(inDay / 3600000),
          static_cast<int>(inDay / 60000 % 60),
          static_cast<int>(inDay / 1000 % 60),
          static_cast<int>(inDay % 1000 / 10)};
}

bool ReadRecordText(std::string_view text, ReadRecord& out, std::string& reason) {
  out = ReadRecord{};
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded()) {
    // Where the parser stopped tells a cut file from one that never was JSON.
    try {
      [[maybe_unused]] const json again = json::parse(text);
    } catch (const json::parse_error& e) {
      reason =
          e.byte >= text.size() && !text.empty() && (text.front() == '{' || text.front() == '[')
              ? "truncated"
              : "not JSON";
      return false;
    }
    reason = "not JSON";
    return false;
  }
  try {
    ReadRecordJson(j, out);
  } catch (const Broken& broken) {
    reason = broken.what;
    return false;
  } catch (const json::exception& e) {
    reason = std::string("breaks the record's rules: ") + e.what();
    return false;
  }
  // The record's bytes name its content: a copy of it is the same record, any change another.
  out.contentHash = ContentRunId(text);
  // A record kept before runs had ids is named by its content, as a record rebuilt from a log.
  if (out.record.runId.empty()) out.record.runId = out.contentHash;
  return true;
}

}  // namespace fleet
