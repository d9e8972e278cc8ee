// The record's JSON, HTML report, history line and file name, and records read back from a log.
#include "report/RecordReport.h"

#include <cstdint>
#include <cstdio>

#include "report/JsonWriter.h"
#include "report/TestLog.h"

namespace {

void Texts(JsonWriter& json, const std::vector<std::string>& texts) {
  json.BeginArray();
  for (const auto& t : texts) json.String(RecordUtf8(t));
  json.EndArray();
}

void TimeOrNull(JsonWriter& json, bool set, const platform::LocalTime& t) {
  if (set) {
    json.String(IsoTime(t));
  } else {
    json.Null();
  }
}

void StringOrNull(JsonWriter& json, const std::string& text) {
  if (text.empty()) {
    json.Null();
  } else {
    json.String(RecordUtf8(text));
  }
}

// Members in the byte order of their names, as every record has had them.
void PromptsJson(JsonWriter& json, const std::vector<RecordPrompt>& prompts) {
  json.BeginArray();
  for (const auto& p : prompts) {
    json.BeginObject();
    json.Key("answer").String(p.answer);
    json.Key("buttons").String(p.buttons);
    json.Key("caption").String(RecordUtf8(p.caption));
    json.Key("icon").String(p.icon);
    json.Key("text").String(RecordUtf8(p.text));
    json.EndObject();
  }
  json.EndArray();
}

void RowsJson(JsonWriter& json, const std::vector<RecordRow>& rows) {
  json.BeginArray();
  for (const RecordRow& row : rows) {
    json.BeginObject();
    json.Key("attempts").Number(row.attempts);
    json.Key("caption").String(RecordUtf8(row.caption));
    json.Key("first_start");
    TimeOrNull(json, row.begun, row.firstStart);
    json.Key("icon").String(row.icon);
    json.Key("last_end");
    TimeOrNull(json, row.ended, row.lastEnd);
    json.Key("memo");
    Texts(json, row.memo);
    json.Key("number").Number(row.number);
    json.Key("prompts");
    PromptsJson(json, row.prompts);
    json.Key("seconds");
    if (row.begun && row.ended) {
      json.Number(SecondsBetween(row.firstStart, row.lastEnd));
    } else {
      json.Null();
    }
    json.EndObject();
  }
  json.EndArray();
}

void UnitJson(JsonWriter& json, const RunRecord::Unit& u) {
  json.BeginObject();
  json.Key("description").String(RecordUtf8(u.description));
  json.Key("drives");
  Texts(json, u.drives);
  json.Key("firmware").String(RecordUtf8(u.firmware));
  json.Key("identification");
  Texts(json, u.identification);
  json.Key("model").String(RecordUtf8(u.model));
  json.Key("printer_queue").String(RecordUtf8(u.printerQueue));
  json.Key("serial").String(RecordUtf8(u.serial));
  json.Key("usb_ids").String(RecordUtf8(u.usbIds));
  json.EndObject();
}

std::string DurationText(long long seconds) {
  if (seconds < 60) return std::to_string(seconds) + " s";
  char text[48];
  std::snprintf(text, sizeof text, "%lld min %02lld s", seconds / 60, seconds % 60);
  return text;
}

// A step's time: tenths below 10 s, where whole seconds would read "0 s" for most steps.
std::string StepTimeText(const platform::LocalTime& from, const platform::LocalTime& to) {
  const long long hundredths = SecondsBetween(from, to) * 100 + (to.hundredths - from.hundredths);
  const long long tenths = (hundredths + 5) / 10;
  if (hundredths < 0 || tenths >= 100) return DurationText(SecondsBetween(from, to));
  return std::to_string(tenths / 10) + '.' + std::to_string(tenths % 10) + " s";
}

std::string DateTimeText(const platform::LocalTime& t) {
  return t.year == 0 ? std::string("-") : FormatDateTime(t);
}

// The status icons, drawn inline so that the page needs no other file.
std::string IconSvg(const std::string& icon) {
  const char* shape = nullptr;
  if (icon == "passed") {
    shape =
        "<circle cx='8' cy='8' r='7' fill='#1a7f37'/>"
        "<path d='M4.5 8.5l2.3 2.3 4.7-5' stroke='#fff' stroke-width='2' fill='none'/>";
  } else if (icon == "failed") {
    shape =
        "<circle cx='8' cy='8' r='7' fill='#cf222e'/>"
        "<path d='M5 5l6 6M11 5l-6 6' stroke='#fff' stroke-width='2'/>";
  } else if (icon == "warned") {
    shape =
        "<path d='M8 1l7 13H1z' fill='#d4a72c'/>"
        "<path d='M8 5.5v4.5M8 11.5v1.5' stroke='#000' stroke-width='1.6'/>";
  } else {
    shape = "<circle cx='8' cy='8' r='6.5' fill='none' stroke='#8c959f' stroke-width='1.2'/>";
  }
  return std::string(
             "<svg class='icon' width='16' height='16' viewBox='0 0 16 16' role='img' "
             "aria-label='") +
         HtmlText(icon.empty() ? "not run" : icon) + "'>" + shape + "</svg>";
}

const char* ResultClass(const std::string& word) {
  if (word == "Success") return "success";
  if (word == "Warning") return "warning";
  if (word == "Error") return "error";
  return "other";
}

constexpr const char* kStyle = R"(
@page { size: A4; margin: 14mm 12mm; }
body { font: 10.5pt/1.4 "DejaVu Sans", Arial, sans-serif; color: #1f2328; margin: 0 auto;
       max-width: 186mm; padding: 8px; }
h1 { font-size: 15pt; margin: 0 0 4px; }
h2 { font-size: 12pt; margin: 18px 0 6px; border-bottom: 1px solid #d0d7de; }
.result { font-size: 34pt; font-weight: bold; padding: 4px 14px; border-radius: 6px;
          display: inline-block; margin: 6px 0 10px; border: 3px solid; }
.result.success { color: #1a7f37; background: #dafbe1; }
.result.warning { color: #7d4e00; background: #fff8c5; }
.result.error { color: #cf222e; background: #ffebe9; }
.result.other { color: #57606a; background: #f6f8fa; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; vertical-align: top; padding: 3px 6px; border-bottom: 1px solid #d0d7de; }
th { background: #f6f8fa; }
table.unit th { width: 32%; font-weight: normal; color: #57606a; background: none; }
tr.step { break-inside: avoid; }
td.status { white-space: nowrap; }
.icon { vertical-align: -3px; margin-right: 4px; }
td.messages div { margin: 0; }
.prompt { color: #57606a; }
pre { font: 8pt/1.3 "DejaVu Sans Mono", monospace; white-space: pre-wrap; word-break: break-all; }
details summary { cursor: pointer; font-weight: bold; margin-top: 16px; }
.note { color: #57606a; font-size: 9pt; }
section.run + section.run { break-before: page; margin-top: 24px; border-top: 2px solid #57606a; }
@media print { details { display: none; } }
)";

void UnitRow(std::string& html, const char* label, const std::string& value) {
  html += "<tr><th>";
  html += label;
  html += "</th><td>" + HtmlText(value.empty() ? std::string("-") : value) + "</td></tr>\n";
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : separator) + p;
  return out;
}

std::string PromptLine(const RecordPrompt& p) {
  return "Prompt \"" + p.text + "\" (" + p.buttons + ") answered " + p.answer;
}

}  // namespace

std::string RecordUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      out.push_back(text[i]);
    } else if (const std::size_t length = Utf8SequenceLength(text, i); length > 0) {
      out.append(text.substr(i, length));
      i += length - 1;
    } else {
      out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return out;
}

std::string RecordJsonText(const RunRecord& record) {
  JsonWriter json;
  json.BeginObject();
  json.Key("computer").String(RecordUtf8(record.computer));
  json.Key("end").String(IsoTime(record.end));
  json.Key("item").String(RecordUtf8(record.item));
  json.Key("log");
  Texts(json, record.log);
  json.Key("memo");
  Texts(json, record.memo);
  json.Key("program").String(RecordUtf8(record.program));
  json.Key("prompts_outside_rows");
  PromptsJson(json, record.promptsOutsideRows);
  json.Key("result").String(RecordUtf8(record.result));
  json.Key("rows");
  RowsJson(json, record.rows);
  json.Key("run_id");
  StringOrNull(json, record.runId);
  json.Key("schema").String(kRunRecordSchema);
  json.Key("seconds").Number(SecondsBetween(record.start, record.end));
  json.Key("socket");
  if (record.socket >= 0) {
    json.Number(record.socket);
  } else {
    json.Null();
  }
  json.Key("source").String(record.fromLog ? "log" : "console");
  json.Key("start").String(IsoTime(record.start));
  json.Key("unit");
  UnitJson(json, record.unit);
  json.Key("utc_offset");
  StringOrNull(json, record.utcOffset);
  json.Key("version").Number(kRunRecordVersion);
  json.EndObject();
  return json.Text() + "\n";
}

std::string HtmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (const std::size_t length = byte >= 0x80 ? Utf8SequenceLength(text, i) : 0; length > 0) {
      // A character beyond ASCII goes into the page as its reference, so the page stays plain
      // ASCII whatever a viewer takes its bytes for; C1 controls have no character to show.
      std::uint32_t point = byte & (0x7Fu >> length);
      for (std::size_t k = 1; k < length; ++k) {
        point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
      }
      char ref[16];
      std::snprintf(ref, sizeof ref, "&#x%X;", point < 0xA0 ? 0xFFFDu : point);
      out += ref;
      i += length - 1;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '"':
        out += "&quot;";
        continue;
      case '\'':
        out += "&#39;";
        continue;
      default:
        break;
    }
    if (byte >= 0xA0) {
      char ref[16];
      std::snprintf(ref, sizeof ref, "&#x%02X;", byte);
      out += ref;
    } else if (c == '\t') {
      out += "&#9;";  // shown as a tab; the page itself holds no control byte
    } else if ((byte < 0x20 && c != '\n') || byte == 0x7F || byte >= 0x80) {
      out += "&#xFFFD;";  // control bytes, C1 ones included: no character to show
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// The table of the rows: status icon, caption, tries, time and the row's messages and prompts.
static void AppendStepsTable(std::string& html, const RunRecord& record) {
  html +=
      "</table>\n<h2>Steps</h2>\n<table class='steps'>\n"
      "<tr><th>#</th><th>Status</th><th>Step</th><th>Tries</th><th>Time</th>"
      "<th>Messages</th></tr>\n";
  for (const RecordRow& row : record.rows) {
    const std::string icon = row.icon.empty() ? "" : row.icon;
    html += "<tr class='step' data-icon='" + HtmlText(icon) + "'><td class='number'>" +
            std::to_string(row.number) + "</td><td class='status'>" + IconSvg(icon) +
            HtmlText(icon.empty() ? (row.begun ? "cut" : "not run") : icon) +
            "</td><td class='caption'>" + HtmlText(row.caption) + "</td><td class='attempts'>" +
            std::to_string(row.attempts) + "</td><td class='time'>";
    if (row.begun && row.ended) html += StepTimeText(row.firstStart, row.lastEnd);
    html += "</td><td class='messages'>";
    for (const auto& line : row.memo) html += "<div>" + HtmlText(line) + "</div>";
    for (const auto& p : row.prompts) {
      html += "<div class='prompt'>" + HtmlText(PromptLine(p)) + "</div>";
    }
    html += "</td></tr>\n";
  }
  html += "</table>\n";
}

// Every prompt of the run with its buttons and the answer given, when there was any.
static void AppendPromptsTable(std::string& html, const RunRecord& record) {
  std::size_t promptCount = record.promptsOutsideRows.size();
  for (const auto& row : record.rows) promptCount += row.prompts.size();
  if (promptCount != 0) {
    html +=
        "<h2>Prompts and answers</h2>\n<table class='prompts'>\n"
        "<tr><th>Step</th><th>Prompt</th><th>Buttons</th><th>Answer</th></tr>\n";
    auto addPrompt = [&html](const std::string& step, const RecordPrompt& p) {
      html += "<tr><td>" + HtmlText(step) + "</td><td>" + HtmlText(p.text) + "<br><span " +
              "class='note'>" + HtmlText(p.caption) + ", " + HtmlText(p.icon) + "</span></td><td>" +
              HtmlText(p.buttons) + "</td><td class='answer'>" + HtmlText(p.answer) +
              "</td></tr>\n";
    };
    for (const auto& p : record.promptsOutsideRows) addPrompt("-", p);
    for (const auto& row : record.rows) {
      for (const auto& p : row.prompts) addPrompt(std::to_string(row.number), p);
    }
    html += "</table>\n";
  }
}

// One run's part of a report page.
static std::string RecordSection(const RunRecord& record) {
  const auto& u = record.unit;
  std::string html;
  html.reserve(8192 + 100 * record.log.size());
  html += "<section class='run'>\n<h1>Test report: " + HtmlText(u.model) + " " +
          HtmlText(u.serial) + "</h1>\n";
  html += "<div class='result " + std::string(ResultClass(record.result)) + "' id='result'>" +
          HtmlText(record.result.empty() ? std::string("No result") : record.result) + "</div>\n";
  if (record.fromLog) {
    html +=
        "<p class='note'>Read from a saved Test.log: a log keeps no prompts and no warnings.</p>\n";
  }
  html += "<table class='unit'>\n";
  UnitRow(html, "Start", DateTimeText(record.start));
  UnitRow(html, "End", DateTimeText(record.end));
  UnitRow(html, "Duration", DurationText(SecondsBetween(record.start, record.end)));
  UnitRow(html, "Model", u.model);
  UnitRow(html, "Serial", u.serial);
  UnitRow(html, "Firmware", u.firmware);
  UnitRow(html, "USB ids", u.usbIds);
  UnitRow(html, "Description", u.description);
  UnitRow(html, "Identification", Join(u.identification, "; "));
  UnitRow(html, "Drives", Join(u.drives, ", "));
  UnitRow(html, "Printer queue", u.printerQueue);
  UnitRow(html, "Computer", record.computer);
  UnitRow(html, "Program", record.program);
  AppendStepsTable(html, record);
  AppendPromptsTable(html, record);
  html += "<details><summary>Log in clear (" + std::to_string(record.log.size()) +
          " lines)</summary>\n<pre>";
  for (const auto& line : record.log) html += HtmlText(line) + "\n";
  html += "</pre></details>\n</section>\n";
  return html;
}

std::string RecordsHtml(const std::vector<RunRecord>& records) {
  std::string title = "Test report";
  if (records.size() == 1) {
    const auto& r = records.front();
    title = r.result + " - " + r.unit.model + " " + r.unit.serial + " - " + IsoTime(r.end);
  }
  std::string html =
      "<!DOCTYPE html>\n<html lang='en'>\n<head>\n<meta charset='utf-8'>\n"
      "<meta http-equiv='Content-Security-Policy' content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; img-src data:\">\n<title>" +
      HtmlText(title) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
  for (const RunRecord& record : records) html += RecordSection(record);
  return html + "</body>\n</html>\n";
}

std::string RecordHtml(const RunRecord& record) {
  return RecordsHtml({record});
}

std::string CsvField(std::string_view text) {
  std::string field = RecordUtf8(text);
  // A spreadsheet runs a cell that starts with one of these as a formula: an apostrophe makes
  // it text.
  if (!field.empty() && std::string_view("=+-@\t\r").find(field[0]) != std::string_view::npos) {
    field.insert(0, 1, '\'');
  }
  const bool quote = field.find_first_of(",\"\r\n") != std::string::npos ||
                     (!field.empty() && (field.front() == ' ' || field.back() == ' '));
  if (!quote) return field;
  std::string out = "\"";
  for (const char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

std::string HistoryHeader() {
  return "End,Model,Serial,Firmware,Result,Seconds,Row,Step,Record\r\n";
}

std::string HistoryLine(const RunRecord& record, const std::string& recordFile) {
  const RecordRow* problem = nullptr;
  for (const auto& row : record.rows) {
    if (row.icon == "failed" || row.icon == "warned") {
      problem = &row;
      break;
    }
  }
  const auto& u = record.unit;
  const auto& t = record.end;
  char end[64];
  std::snprintf(end, sizeof end, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  std::string line = CsvField(end) + ',' + CsvField(u.model) + ',' + CsvField(u.serial) + ',' +
                     CsvField(u.firmware) + ',' + CsvField(record.result) + ',' +
                     std::to_string(SecondsBetween(record.start, record.end)) + ',';
  if (problem != nullptr) {
    line += std::to_string(problem->number) + ',' + CsvField(problem->caption);
  } else {
    line += ',';
  }
  return line + ',' + CsvField(recordFile) + "\r\n";
}

std::string SafeNamePart(std::string_view text, const char* empty) {
  std::string out;
  bool kept = false;
  for (const char c : text) {
    if (out.size() == 40) break;
    const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-' || (c == '.' && !out.empty());
    out.push_back(safe ? c : '_');
    kept = kept || safe;
  }
  return kept ? out : std::string(empty);
}

std::string RecordBaseName(const RunRecord& record) {
  const auto& t = record.end;
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return std::string(stamp) + '-' + SafeNamePart(record.unit.model, "UNKNOWN") + '-' +
         SafeNamePart(record.unit.serial, "NOSERIAL");
}
