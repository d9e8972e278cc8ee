// The dashboard's pages: overview, failing steps, a unit, a run, search.
#include "fleet/Dashboard.h"

#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "fleet/RecordRead.h"
#include "report/RecordReport.h"

namespace fleet {
namespace {

constexpr const char* kStyle = R"(
body { font: 14px/1.4 "DejaVu Sans", Arial, sans-serif; color: #1f2328; margin: 0 auto;
       max-width: 1100px; padding: 8px 16px; }
nav a { margin-right: 14px; }
h1 { font-size: 20px; } h2 { font-size: 16px; border-bottom: 1px solid #d0d7de; margin-top: 22px; }
table { border-collapse: collapse; margin: 6px 0; }
th, td { text-align: left; padding: 3px 8px; border-bottom: 1px solid #d0d7de; vertical-align: top; }
th { background: #f6f8fa; } td.n { text-align: right; font-variant-numeric: tabular-nums; }
form.filters { background: #f6f8fa; padding: 8px; border-radius: 6px; }
form.filters label { margin-right: 10px; }
.note { color: #57606a; }
)";

std::string Page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang='en'>\n<head>\n<meta charset='utf-8'>\n"
         "<meta http-equiv='Content-Security-Policy' content=\"default-src 'none'; "
         "style-src 'unsafe-inline'; img-src data:\">\n<title>" +
         Esc(title) + "</title>\n<style>" + kStyle +
         "</style>\n</head>\n<body>\n<nav><a href='/'>Overview</a><a href='/steps'>Failing "
         "steps</a><a href='/search'>Search</a></nav>\n" +
         body + "</body>\n</html>\n";
}

std::string UrlEncode(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
        b == '_' || b == '.') {
      out.push_back(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", b);
      out += hex;
    }
  }
  return out;
}

std::string Get(const Params& params, const char* key) {
  const auto it = params.find(key);
  return it == params.end() ? std::string() : it->second;
}

// "YYYY-MM-DD" as the UTC instant its day starts; false for any other text.
bool DayStartMs(const std::string& text, long long& ms) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  platform::LocalTime t;
  for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  t.year = std::stoi(text.substr(0, 4));
  t.month = std::stoi(text.substr(5, 2));
  t.day = std::stoi(text.substr(8, 2));
  if (t.year < 1970 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31) return false;
  ms = UtcMs(t, 0);
  return true;
}

// The filters of a page as a WHERE clause of fixed fragments; every value is a parameter.
struct Filter {
  std::string where = "1=1";
  std::vector<Cell> params;
  std::string query;  // the filters as a URL query, to carry them on in links
  std::vector<std::string> notes;
  Params period;  // the default period's dates, when the page was given none
  void Add(const std::string& fragment, const std::string& value) {
    params.emplace_back(value);
    where += " AND " + fragment + " $" + std::to_string(params.size());
  }
};

// The days a page shows when it is given none: the week up to the newest run, so that a page
// reads the runs of a week however many years the store holds.
constexpr long long kDefaultDays = 7;

std::string DayText(long long utcMs) {
  const platform::LocalTime t = LocalAt(utcMs, 0);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  return text;
}

Filter FilterOf(Store& store, Params params) {
  Filter f;
  if (!params.contains("from") && !params.contains("to")) {
    const auto newest = store.Query("SELECT MAX(start_ms) FROM runs");
    if (!newest.empty() && newest[0][0]) {
      const long long last = AsNumber(newest[0][0]);
      params["from"] = DayText(last - (kDefaultDays - 1) * 86400000);
      params["to"] = DayText(last);
      f.period = params;
    }
  }
  for (const char* key : {"model", "station", "result", "serial"}) {
    const std::string value = Get(params, key);
    if (value.empty()) continue;
    const std::string column = std::string(key) == "station" ? "station" : key;
    f.Add(column + " =", value);
    f.query += std::string(f.query.empty() ? "" : "&") + key + "=" + UrlEncode(value);
  }
  long long ms = 0;
  if (const std::string from = Get(params, "from"); !from.empty()) {
    if (DayStartMs(from, ms)) {
      f.Add("start_ms >=", std::to_string(ms));
      f.query += std::string(f.query.empty() ? "" : "&") + "from=" + UrlEncode(from);
    } else {
      f.notes.push_back("The date \"" + from + "\" is not YYYY-MM-DD: no lower bound.");
    }
  }
  if (const std::string to = Get(params, "to"); !to.empty()) {
    if (DayStartMs(to, ms)) {
      f.Add("start_ms <", std::to_string(ms + 86400000));
      f.query += std::string(f.query.empty() ? "" : "&") + "to=" + UrlEncode(to);
    } else {
      f.notes.push_back("The date \"" + to + "\" is not YYYY-MM-DD: no upper bound.");
    }
  }
  return f;
}

std::string FilterForm(Store& store, const Params& given, const Filter& f, const char* action) {
  const Params& params = f.period.empty() ? given : f.period;
  auto options = [&](const char* key) {
    const char* sql = "SELECT value FROM facets WHERE kind = $1 ORDER BY value";
    std::string html =
        "<label>" + std::string(key) + " <select name='" + key + "'><option value=''>all</option>";
    const std::string chosen = Get(params, key);
    for (const Row& row : store.Query(sql, {std::string(key)})) {
      const std::string v = AsText(row[0]);
      html += "<option value='" + Esc(v) + "'" + (v == chosen ? " selected" : "") + ">" + Esc(v) +
              "</option>";
    }
    return html + "</select></label>";
  };
  std::string html = "<form class='filters' method='get' action='" + std::string(action) + "'>";
  html += options("model");
  html += options("station");
  html += options("result");
  html += "<label>from <input name='from' size='10' value='" + Esc(Get(params, "from")) +
          "'></label><label>to <input name='to' size='10' value='" + Esc(Get(params, "to")) +
          "'></label><label>serial <input name='serial' size='12' value='" +
          Esc(Get(params, "serial")) + "'></label><button>Show</button></form>\n";
  for (const std::string& note : f.notes) html += "<p class='note'>" + Esc(note) + "</p>\n";
  return html;
}

// A table of a query's rows, none when it has none. `kinds` has a letter per column: 't' a text
// (from a unit or a file: escaped), 'n' a number (right-aligned).
void AppendTable(std::string& body, const char* name, std::initializer_list<const char*> heads,
                 std::string_view kinds, const std::vector<Row>& rows) {
  if (rows.empty()) return;
  body += "<table class='" + std::string(name) + "'>\n<tr>";
  for (const char* head : heads) body += "<th>" + std::string(head) + "</th>";
  body += "</tr>\n";
  for (const Row& row : rows) {
    body += "<tr>";
    for (std::size_t c = 0; c < kinds.size(); ++c) {
      body += kinds[c] == 'n' ? "<td class='n'>" + AsText(row[c]) + "</td>"
                              : "<td>" + Esc(AsText(row[c])) + "</td>";
    }
    body += "</tr>\n";
  }
  body += "</table>\n";
}

std::string Percent(long long part, long long whole) {
  if (whole == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

struct Group {
  long long runs = 0;
  long long units = 0;
  long long firstPass = 0;
  std::map<std::string, long long> results;
};

// Runs, first-pass yield and result words grouped by `column` (model, station or day). A unit's
// first run is its first within the filters, and counts in the group it fell in: a unit first
// tested at one station and again at another counts at the first only ("first runs").
std::map<std::string, Group> Grouped(Store& store, const Filter& f, const std::string& column,
                                     std::set<std::string>& words) {
  std::map<std::string, Group> groups;
  const std::string firsts =
      "SELECT g, COUNT(*), SUM(CASE WHEN k = 1 THEN 1 ELSE 0 END), SUM(CASE WHEN k = 1 AND "
      "result IN ('Success', 'Warning') THEN 1 ELSE 0 END) FROM (SELECT " +
      column +
      " AS g, result, ROW_NUMBER() OVER (PARTITION BY model, serial ORDER BY start_ms, run_id) AS "
      "k FROM runs WHERE " +
      f.where + ") t GROUP BY g";
  for (const Row& row : store.Query(firsts, f.params)) {
    Group& g = groups[AsText(row[0])];
    g.runs = AsNumber(row[1]);
    g.units = AsNumber(row[2]);
    g.firstPass = AsNumber(row[3]);
  }
  const std::string byWord =
      "SELECT " + column + ", result, COUNT(*) FROM runs WHERE " + f.where + " GROUP BY 1, 2";
  for (const Row& row : store.Query(byWord, f.params)) {
    groups[AsText(row[0])].results[AsText(row[1])] = AsNumber(row[2]);
    words.insert(AsText(row[1]));
  }
  return groups;
}

std::string GroupTable(const char* heading, const std::map<std::string, Group>& groups,
                       const std::set<std::string>& words, const char* key, const Filter& f) {
  std::string html = "<h2>" + std::string(heading) + "</h2>\n<table class='by-" + key +
                     "'>\n<tr><th>" + key +
                     "</th><th>runs</th><th>first runs</th><th>first-pass "
                     "yield</th>";
  for (const std::string& w : words) html += "<th>" + Esc(w) + "</th>";
  html += "</tr>\n";
  for (const auto& [name, g] : groups) {
    std::string link;
    if (std::string(key) != "day") {
      link = "<a href='/?" + std::string(key) + "=" + UrlEncode(name) +
             (f.query.empty() ? "" : "&" + f.query) + "'>" + Esc(name) + "</a>";
    } else {
      link = Esc(name);
    }
    html += "<tr><td>" + link + "</td><td class='n'>" + std::to_string(g.runs) +
            "</td><td class='n'>" + std::to_string(g.units) + "</td><td class='n fpy'>" +
            Percent(g.firstPass, g.units) + "</td>";
    for (const std::string& w : words) {
      const auto it = g.results.find(w);
      html += "<td class='n'>" + std::to_string(it == g.results.end() ? 0 : it->second) + "</td>";
    }
    html += "</tr>\n";
  }
  return html + "</table>\n";
}

// Runs per day as bars, first-pass yield as a line; drawn here, no script.
std::string TrendSvg(const std::map<std::string, Group>& days) {
  if (days.empty()) return "<p class='note'>No runs.</p>\n";
  const double width = 900;
  const double height = 220;
  const double left = 40;
  const double bottom = 30;
  long long most = 1;
  for (const auto& [day, g] : days) most = std::max(most, g.runs);
  const double step = (width - left) / static_cast<double>(days.size());
  std::string svg =
      "<svg class='trend' width='900' height='220' viewBox='0 0 900 220' role='img' "
      "aria-label='runs per day and first-pass yield'>\n";
  std::string line;
  int i = 0;
  char buffer[256];
  for (const auto& [day, g] : days) {
    const double x = left + step * i;
    const double h =
        (height - bottom - 10) * static_cast<double>(g.runs) / static_cast<double>(most);
    std::snprintf(buffer, sizeof buffer,
                  "<rect x='%.1f' y='%.1f' width='%.1f' height='%.1f' fill='#9ec5fe'><title>",
                  x + step * 0.1, height - bottom - h, step * 0.8, h);
    svg += buffer + Esc(day) + ": " + std::to_string(g.runs) + " runs</title></rect>\n";
    if (g.units > 0) {
      const double y = (height - bottom) - (height - bottom - 10) *
                                               static_cast<double>(g.firstPass) /
                                               static_cast<double>(g.units);
      std::snprintf(buffer, sizeof buffer, "%s%.1f,%.1f", line.empty() ? "" : " ", x + step / 2, y);
      line += buffer;
      // A day alone shows its yield too: a dot on each day's point.
      std::snprintf(buffer, sizeof buffer, "<circle cx='%.1f' cy='%.1f' r='4' fill='#1a7f37'>",
                    x + step / 2, y);
      svg += buffer;
      svg += "<title>" + Esc(day) + ": first-pass yield " + Percent(g.firstPass, g.units) +
             "</title></circle>\n";
    }
    if (days.size() <= 31 || i % static_cast<int>(days.size() / 15 + 1) == 0) {
      std::snprintf(buffer, sizeof buffer, "<text x='%.1f' y='%.1f' font-size='10'>", x,
                    height - 12);
      svg += buffer + Esc(day.substr(5)) + "</text>\n";
    }
    ++i;
  }
  std::snprintf(buffer, sizeof buffer, "<text x='0' y='12' font-size='10'>%lld runs</text>\n",
                most);
  svg += buffer;
  svg += "<text x='0' y='190' font-size='10'>0</text>\n";
  if (!line.empty()) {
    svg += "<polyline points='" + line + "' fill='none' stroke='#1a7f37' stroke-width='2'/>\n";
  }
  return svg +
         "</svg>\n<p class='note'>Bars: runs per day (UTC); line: first-pass yield (top: 100 "
         "%).</p>\n";
}

std::string Overview(Store& store, const Params& params) {
  const Filter f = FilterOf(store, params);
  std::string body = "<h1>Runs of every station</h1>\n" + FilterForm(store, params, f, "/");
  std::set<std::string> words;
  const auto all = Grouped(store, f, "'all'", words);
  Group total;
  if (!all.empty()) total = all.begin()->second;
  body += "<p id='totals'>Runs: <b id='runs'>" + std::to_string(total.runs) +
          "</b>. Units: <b id='units'>" + std::to_string(total.units) +
          "</b>. First-pass yield: <b id='fpy'>" + Percent(total.firstPass, total.units) +
          "</b> (a unit's first run in the period ends Success or Warning).</p>\n";
  std::set<std::string> modelWords, stationWords, dayWords;
  const auto models = Grouped(store, f, "model", modelWords);
  const auto stations = Grouped(store, f, "station", stationWords);
  const auto days = Grouped(store, f, "day", dayWords);
  body += "<h2>Trend</h2>\n" + TrendSvg(days);
  body += GroupTable("Per model", models, words, "model", f);
  body += GroupTable("Per station", stations, words, "station", f);
  body += GroupTable("Per day", days, words, "day", f);
  return Page("Fleet overview", body);
}

std::string Steps(Store& store, const Params& params) {
  const Filter f = FilterOf(store, params);
  std::string body = "<h1>Failing steps</h1>\n" + FilterForm(store, params, f, "/steps");
  std::string models = "SELECT DISTINCT model FROM runs WHERE " + f.where + " ORDER BY model";
  for (const Row& m : store.Query(models, f.params)) {
    const std::string model = AsText(m[0]);
    std::vector<Cell> p = f.params;
    p.emplace_back(model);
    const std::string at = "$" + std::to_string(p.size());
    // Runs whose first failed or warned row this step was.
    const auto pareto = store.Query(
        "SELECT problem_step, COUNT(*) FROM runs WHERE " + f.where + " AND model = " + at +
            " AND problem_step IS NOT NULL GROUP BY problem_step ORDER BY COUNT(*) DESC, "
            "problem_step",
        p);
    long long total = 0;
    for (const Row& row : pareto) total += AsNumber(row[1]);
    body += "<h2>" + Esc(model) +
            "</h2>\n<table class='pareto'>\n<tr><th>step</th><th>runs "
            "failed or warned there</th><th>share</th><th>cumulative</th></tr>\n";
    long long running = 0;
    for (const Row& row : pareto) {
      running += AsNumber(row[1]);
      body += "<tr><td>" + Esc(AsText(row[0])) + "</td><td class='n'>" + AsText(row[1]) +
              "</td><td class='n'>" + Percent(AsNumber(row[1]), total) + "</td><td class='n'>" +
              Percent(running, total) + "</td></tr>\n";
    }
    if (pareto.empty()) body += "<tr><td colspan='4' class='note'>No failed step.</td></tr>\n";
    body += "</table>\n";
    const auto retries = store.Query(
        "SELECT s.caption, SUM(s.attempts - 1), COUNT(*) FROM steps s JOIN runs ON runs.run_id = "
        "s.run_id WHERE " +
            f.where + " AND model = " + at +
            " AND s.attempts > 1 GROUP BY s.caption ORDER BY SUM(s.attempts - 1) DESC, s.caption",
        p);
    AppendTable(body, "retries", {"step", "retries", "runs retrying"}, "tnn", retries);
    const auto prompts = store.Query(
        "SELECT p.text, p.answer, COUNT(*) FROM prompts p JOIN runs ON runs.run_id = p.run_id "
        "WHERE " +
            f.where + " AND model = " + at +
            " GROUP BY p.text, p.answer ORDER BY COUNT(*) DESC, p.text, p.answer",
        p);
    AppendTable(body, "prompts", {"prompt", "answer", "times"}, "ttn", prompts);
  }
  return Page("Failing steps", body);
}

std::string LocalText(const Cell& ms, const Cell& offset) {
  int minutes = 0;
  const bool known = offset && ParseUtcOffset(*offset, minutes);
  const platform::LocalTime t = LocalAt(AsNumber(ms), minutes);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return std::string(text) + (known ? " " + *offset : " UTC");
}

std::string RunsTable(const std::vector<Row>& rows) {
  std::string html =
      "<table class='runs'>\n<tr><th>start (station's time)</th><th>model</th>"
      "<th>serial</th><th>station</th><th>result</th><th>first problem</th>"
      "<th>run</th></tr>\n";
  for (const Row& r : rows) {
    html += "<tr><td>" + Esc(LocalText(r[1], r[2])) + "</td><td>" + Esc(AsText(r[3])) +
            "</td><td><a href='/unit?serial=" + UrlEncode(AsText(r[4])) + "'>" + Esc(AsText(r[4])) +
            "</a></td><td>" + Esc(AsText(r[5])) + "</td><td class='result'>" + Esc(AsText(r[6])) +
            "</td><td>" + Esc(AsText(r[7])) +
            "</td><td><a href='/run?id=" + UrlEncode(AsText(r[0])) + "'>" +
            Esc(AsText(r[0]).substr(0, 8)) + "</a></td></tr>\n";
  }
  return html + "</table>\n";
}

constexpr const char* kRunColumns =
    "SELECT run_id, start_ms, utc_offset, model, serial, station, result, problem_step FROM runs ";

std::string Unit(Store& store, const Params& params) {
  const std::string serial = Get(params, "serial");
  const auto rows = store.Query(
      std::string(kRunColumns) + "WHERE serial = $1 ORDER BY start_ms, run_id LIMIT 1000",
      {serial});
  std::string body = "<h1>Unit " + Esc(serial) + "</h1>\n<p>" + std::to_string(rows.size()) +
                     " runs, in time order, across every station.</p>\n" + RunsTable(rows);
  return Page("Unit " + serial, body);
}

std::string Search(Store& store, const Params& params) {
  const std::string serial = Get(params, "serial");
  std::string body =
      "<h1>Search by serial</h1>\n<form class='filters' method='get' "
      "action='/search'><label>serial "
      "<input name='serial' value='" +
      Esc(serial) + "'></label><button>Find</button></form>\n";
  if (!serial.empty()) {
    // A prefix: the serial's own characters are matched as they are, never as a pattern.
    // Every serial that starts so sorts below the prefix and the highest character.
    const std::string upper = serial + "\xF4\x8F\xBF\xBF";
    const auto rows = store.Query(
        "SELECT serial, model, runs FROM units WHERE serial >= $1 AND serial < $2 ORDER BY serial, "
        "model LIMIT 200",
        {serial, upper});
    body += "<table class='units'>\n<tr><th>serial</th><th>model</th><th>runs</th></tr>\n";
    for (const Row& r : rows) {
      body += "<tr><td><a href='/unit?serial=" + UrlEncode(AsText(r[0])) + "'>" +
              Esc(AsText(r[0])) + "</a></td><td>" + Esc(AsText(r[1])) + "</td><td class='n'>" +
              AsText(r[2]) + "</td></tr>\n";
    }
    body += "</table>\n";
    if (rows.empty()) body += "<p class='note'>No unit's serial starts so.</p>\n";
  }
  return Page("Search", body);
}

std::vector<std::string> Lines(const Cell& text) {
  std::vector<std::string> out;
  if (!text || text->empty()) return out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text->find('\n', start);
    out.push_back(Utf8ToLatin1(text->substr(start, end - start)));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

// The run as the station's own report shows it, rebuilt from the store.
bool Run(Store& store, const Params& params, std::string& html) {
  const std::string id = Get(params, "id");
  const auto runs = store.Query(
      "SELECT station, item, socket, model, serial, firmware, result, source, program, start_ms, "
      "end_ms, utc_offset, description, usb_ids, identification, drives, printer_queue, memo FROM "
      "runs WHERE run_id = $1",
      {id});
  if (runs.empty()) return false;
  const Row& r = runs[0];
  RunRecord record;
  int offset = 0;
  if (r[11]) ParseUtcOffset(*r[11], offset);
  record.runId = id;
  record.computer = Utf8ToLatin1(AsText(r[0]));
  record.item = Utf8ToLatin1(AsText(r[1]));
  record.unit.model = Utf8ToLatin1(AsText(r[3]));
  record.unit.serial = Utf8ToLatin1(AsText(r[4]));
  record.unit.firmware = Utf8ToLatin1(AsText(r[5]));
  record.result = Utf8ToLatin1(AsText(r[6]));
  record.fromLog = AsText(r[7]) == "log";
  record.program = Utf8ToLatin1(AsText(r[8]));
  record.start = LocalAt(AsNumber(r[9]), offset);
  record.end = LocalAt(AsNumber(r[10]), offset);
  record.unit.description = Utf8ToLatin1(AsText(r[12]));
  record.unit.usbIds = Utf8ToLatin1(AsText(r[13]));
  record.unit.identification = Lines(r[14]);
  record.unit.drives = Lines(r[15]);
  record.unit.printerQueue = Utf8ToLatin1(AsText(r[16]));
  record.memo = Lines(r[17]);
  for (const Row& s : store.Query("SELECT number, caption, icon, attempts, first_start_ms, "
                                  "last_end_ms, begun, ended, memo FROM steps WHERE run_id = $1 "
                                  "ORDER BY number",
                                  {id})) {
    RecordRow row;
    row.number = static_cast<int>(AsNumber(s[0]));
    row.caption = Utf8ToLatin1(AsText(s[1]));
    row.icon = AsText(s[2]);
    row.attempts = static_cast<int>(AsNumber(s[3]));
    row.begun = AsNumber(s[6]) != 0;
    row.ended = AsNumber(s[7]) != 0;
    if (s[4]) row.firstStart = LocalAt(AsNumber(s[4]), offset);
    if (s[5]) row.lastEnd = LocalAt(AsNumber(s[5]), offset);
    row.memo = Lines(s[8]);
    record.rows.push_back(std::move(row));
  }
  for (const Row& p : store.Query("SELECT row_number, text, caption, buttons, icon, answer FROM "
                                  "prompts WHERE run_id = $1 ORDER BY seq",
                                  {id})) {
    RecordPrompt prompt{Utf8ToLatin1(AsText(p[1])), Utf8ToLatin1(AsText(p[2])),
                        Utf8ToLatin1(AsText(p[3])), Utf8ToLatin1(AsText(p[4])),
                        Utf8ToLatin1(AsText(p[5]))};
    const long long row = p[0] ? AsNumber(p[0]) : 0;
    if (row >= 1 && row <= static_cast<long long>(record.rows.size())) {
      record.rows[static_cast<std::size_t>(row - 1)].prompts.push_back(std::move(prompt));
    } else {
      record.promptsOutsideRows.push_back(std::move(prompt));
    }
  }
  if (const auto log = store.Query("SELECT lines FROM logs WHERE run_id = $1", {id});
      !log.empty()) {
    record.log = Lines(log[0][0]);
  }
  html = RecordHtml(record);
  const std::string nav =
      "<nav><a href='/'>Overview</a> <a href='/unit?serial=" + UrlEncode(AsText(r[4])) +
      "'>Every run of this unit</a></nav>\n";
  if (const std::size_t at = html.find("<body>\n"); at != std::string::npos) {
    html.insert(at + 7, nav);
  }
  return true;
}

}  // namespace

std::string Esc(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if ((b < 0x20 && c != '\n' && c != '\t') || b == 0x7F) {
          out += "&#xFFFD;";
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

bool Page(Store& store, const std::string& path, const Params& params, std::string& html) {
  if (path == "/") {
    html = Overview(store, params);
  } else if (path == "/steps") {
    html = Steps(store, params);
  } else if (path == "/unit") {
    html = Unit(store, params);
  } else if (path == "/search") {
    html = Search(store, params);
  } else if (path == "/run" && Run(store, params, html)) {
  } else {
    html = Page("Not found", "<h1>Not found</h1>\n<p>No such page or run.</p>\n");
    return false;
  }
  return true;
}

int Serve(const std::string& db, const std::string& listen, const std::atomic<bool>& stop) {
  std::unique_ptr<Store> store = OpenStore(db);
  store->SetReadOnly();
  std::mutex lock;  // one store connection: one page at a time
  httplib::Server server;
  server.Get(R"(/.*)", [&](const httplib::Request& request, httplib::Response& response) {
    Params params;
    for (const auto& [key, value] : request.params) params.emplace(key, value);
    std::string html;
    bool found = false;
    try {
      std::lock_guard guard(lock);
      found = Page(*store, request.path, params, html);
    } catch (const StoreError& e) {
      response.status = 500;
      response.set_content("The store failed: " + std::string(e.what()),
                           "text/plain; charset=utf-8");
      return;
    }
    response.status = found ? 200 : 404;
    response.set_header("Content-Security-Policy",
                        "default-src 'none'; style-src 'unsafe-inline'; img-src data:");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_content(html, "text/html; charset=utf-8");
  });
  const std::size_t colon = listen.rfind(':');
  const std::string host = colon == std::string::npos ? listen : listen.substr(0, colon);
  const int port = colon == std::string::npos ? 8080 : std::atoi(listen.c_str() + colon + 1);
  const int bound =
      port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
  if (bound < 0) {
    std::cerr << "veltrane-fleet: cannot listen on " << listen << "\n";
    return 2;
  }
  std::cout << "Dashboard at http://" << host << ":" << bound << "/" << std::endl;
  std::atomic<bool> ended{false};
  std::thread watcher([&] {
    while (!stop && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.stop();
  });
  server.listen_after_bind();
  ended = true;
  watcher.join();
  return 0;
}

}  // namespace fleet
