// Run records: what TestRecords holds after runs that pass, warn, fail, are cancelled or cut; the
// history across a restart; a folder that cannot be written; clashing names and odd serials; and
// veltrane-log's records of a saved log.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "BenchSessionFixture.h"
#include "SessionLog.h"
#include "platform/sim/SimFile.h"
#include "report/JsonWriter.h"
#include "report/RecordFiles.h"
#include "report/RecordJson.h"

namespace {

namespace fs = std::filesystem;
using session::AfterCommand;
using session::JoinedList;

std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The subset of JSON Schema docs/run-record.schema.json uses: type, enum, required, properties,
// items, pattern, minimum and local $ref. Returns the first violation's path, or empty.
std::string Violation(const nlohmann::json& value, const nlohmann::json& schema,
                      const nlohmann::json& root, const std::string& at = "$") {
  if (schema.contains("$ref")) {
    const std::string ref = schema["$ref"];  // "#/$defs/name"
    return Violation(value, root.at("$defs").at(ref.substr(ref.rfind('/') + 1)), root, at);
  }
  if (schema.contains("enum")) {
    for (const auto& allowed : schema["enum"]) {
      if (allowed == value) return {};
    }
    return at + ": not one of " + schema["enum"].dump();
  }
  if (schema.contains("type")) {
    const auto types = schema["type"].is_array() ? schema["type"] : nlohmann::json{schema["type"]};
    bool ok = false;
    for (const std::string type : types) {
      ok = ok || (type == "object" && value.is_object()) || (type == "array" && value.is_array()) ||
           (type == "string" && value.is_string()) || (type == "null" && value.is_null()) ||
           (type == "boolean" && value.is_boolean()) ||
           (type == "integer" && value.is_number_integer()) ||
           (type == "number" && value.is_number());
    }
    if (!ok) return at + ": not " + schema["type"].dump();
  }
  if (value.is_string() && schema.contains("pattern") &&
      !std::regex_search(value.get<std::string>(),
                         std::regex(schema["pattern"].get<std::string>()))) {
    return at + ": does not match " + schema["pattern"].dump();
  }
  if (value.is_number() && schema.contains("minimum") && value < schema["minimum"]) {
    return at + ": below " + schema["minimum"].dump();
  }
  for (const std::string key : schema.value("required", nlohmann::json::array())) {
    if (!value.contains(key)) return at + ": no " + key;
  }
  if (value.is_object() && schema.contains("properties")) {
    for (const auto& [key, sub] : schema["properties"].items()) {
      if (!value.contains(key)) continue;
      if (auto v = Violation(value[key], sub, root, at + "." + key); !v.empty()) return v;
    }
    for (const auto& [key, sub] : value.items()) {
      if (!schema["properties"].contains(key)) return at + ": undocumented " + key;
    }
  }
  if (value.is_array() && schema.contains("items")) {
    for (std::size_t i = 0; i < value.size(); ++i) {
      auto v = Violation(value[i], schema["items"], root, at + "[" + std::to_string(i) + "]");
      if (!v.empty()) return v;
    }
  }
  return {};
}

const nlohmann::json& Schema() {
  static const nlohmann::json schema =
      nlohmann::json::parse(FileText(VELTRANE_SOURCE_DIR "/docs/run-record.schema.json"));
  return schema;
}

std::string Unescaped(std::string text) {
  static const std::pair<const char*, const char*> kEntities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
  for (const auto& [entity, c] : kEntities) {
    for (std::size_t at; (at = text.find(entity)) != std::string::npos;) {
      text.replace(at, std::strlen(entity), c);
    }
  }
  return text;
}

// The step rows of a report page as (icon, caption, attempts).
struct ReportRow {
  std::string icon, caption, attempts;
  bool operator==(const ReportRow&) const = default;
};
std::vector<ReportRow> ReportRows(const std::string& html) {
  static const std::regex row(
      "<tr class='step' data-icon='([a-z]*)'>.*?<td class='caption'>([^<]*)</td>"
      "<td class='attempts'>([0-9]+)</td>");
  std::vector<ReportRow> rows;
  for (std::sregex_iterator it(html.begin(), html.end(), row), end; it != end; ++it) {
    rows.push_back({(*it)[1], Unescaped((*it)[2]), (*it)[3]});
  }
  return rows;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The fields of one history.csv line (RFC 4180 quoting), its CR dropped.
std::vector<std::string> CsvFields(std::string line) {
  if (line.ends_with('\r')) line.pop_back();
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// Seconds since midnight of a record's time ("2026-12-07T09:05:42.25"), read from its text.
int SecondOfDay(const std::string& iso) {
  return std::stoi(iso.substr(11, 2)) * 3600 + std::stoi(iso.substr(14, 2)) * 60 +
         std::stoi(iso.substr(17, 2));
}

// One TM36K on the PC's root hub.
std::string Tm36kBench(const std::string& serial = "TK36K0042", int printerPort = 3, int input = 5,
                       const std::vector<std::string>& faults = {}) {
  return R"({"hubs": [{"id": "pc", "kind": "root_hub", "ports": 4},
                      {"id": "box", "parent": "pc", "port": 1}],
             "units": [{"model": "TM36K", "serial": ")" +
         serial + R"(", "firmware": "RM82C V1.20", "hub": "box", "port": 1,
                        "printer": {"port": )" +
         std::to_string(printerPort) + R"(, "queue": "TM36K <Disc> \"Printer\""},
                        "discs": {"input": )" +
         std::to_string(input) + R"(}, "faults": [)" + JoinedList(faults) + "]}]}";
}

class RunRecords : public BenchSessionFixture {
 protected:
  std::vector<fs::path> Files(const std::string& extension) const {
    std::vector<fs::path> files;
    if (!fs::is_directory(kRecordFolder)) return files;
    for (const auto& e : fs::directory_iterator(kRecordFolder)) {
      if (e.path().extension() == extension) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  std::vector<std::string> History() const {
    return Lines(FileText(fs::path(kRecordFolder) / kHistoryFile));
  }
};

// --- One record per kind of run ----------------------------------------------------------------

struct RunCase {
  const char* name;
  std::string bench;
  std::vector<int> answers;
  const char* result;  // null: whatever verdict the result dialog shows
  bool prompted;
  const char* problem = nullptr;  // history's Row,Step: the first failed or warned row
  int triedRow = -1;              // this 1-based row was tried `tries` times
  int tries = 0;
};

class RecordOfARun : public RunRecords, public ::testing::WithParamInterface<RunCase> {};

TEST_P(RecordOfARun, HoldsWhatTheWindowsShowedAndItsReportShowsTheSameRows) {
  const RunCase& c = GetParam();
  StartOnBench(c.bench);
  Run(c.answers);
  const std::string result = c.result != nullptr ? c.result : ResultWord();
  EXPECT_EQ(ResultWord(), result);

  const auto jsons = Files(".json");
  const auto htmls = Files(".html");
  ASSERT_EQ(jsons.size(), 1u);
  ASSERT_EQ(htmls.size(), 1u);
  EXPECT_EQ(jsons[0].stem(), htmls[0].stem());
  EXPECT_TRUE(jsons[0].filename().string().ends_with("-TM36K-TK36K0042.json"));
  const auto record = nlohmann::json::parse(FileText(jsons[0]));
  EXPECT_EQ(Violation(record, Schema(), Schema()), "");

  EXPECT_EQ(record["result"], result);
  if (c.result == nullptr) {
    EXPECT_EQ(record["rows"].back()["icon"], "") << "the rows after the cut were never reached";
  }
  EXPECT_EQ(record["unit"]["serial"], "TK36K0042");
  // A console run's identity is random (version 4); the simulated station's zone is +01:00.
  EXPECT_EQ(record["run_id"].get<std::string>().at(14), '4');
  EXPECT_EQ(record["utc_offset"], "+01:00");
  EXPECT_EQ(record["socket"], 0);
  EXPECT_EQ(record["unit"]["firmware"], "RM82C V1.20");
  EXPECT_EQ(record["unit"]["usb_ids"], "VID_1723&PID_0935");
  EXPECT_EQ(record["start"].get<std::string>().substr(0, 19), "2026-12-07T09:05:00");
  EXPECT_EQ(record["memo"], Memo());
  std::vector<ReportRow> expectedRows;
  std::size_t prompts = 0;
  const auto& items = form().ListView1.Items();
  ASSERT_EQ(record["rows"].size(), items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto& row = record["rows"][i];
    EXPECT_EQ(row["caption"], items[i].caption);
    EXPECT_EQ(row["icon"], IconWord(items[i].imageIndex)) << items[i].caption;
    // A row with an outcome has its times in order; one never reached has none.
    if (items[i].imageIndex != kIconNone) {
      EXPECT_GE(row["attempts"].get<int>(), 1);
      EXPECT_LE(row["first_start"].get<std::string>(), row["last_end"].get<std::string>());
    }
    for (const auto& p : row["prompts"]) {
      const auto shown = Prompts().at(prompts++);
      EXPECT_EQ(p["text"], shown.text);
      EXPECT_EQ(p["answer"], AnswerText(shown.answer));
      EXPECT_EQ(p["buttons"], ButtonsText(shown.flags));
    }
    expectedRows.push_back(
        {row["icon"], items[i].caption, std::to_string(row["attempts"].get<int>())});
  }
  EXPECT_EQ(prompts + record["prompts_outside_rows"].size(), Prompts().size());
  EXPECT_EQ(!Prompts().empty(), c.prompted);
  // The log in clear is the run's own: host report first, every step heading in it.
  const auto log = record["log"];
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log[0].get<std::string>().ends_with("=======Get CPU Information=============="));
  EXPECT_EQ(log.back().get<std::string>().substr(26), LogMessages().back());

  const std::string html = FileText(htmls[0]);
  EXPECT_EQ(ReportRows(html), expectedRows);
  EXPECT_NE(html.find("id='result'>" + result + "</div>"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  // The printer queue is the bench's text: escaped, never markup.
  EXPECT_NE(html.find("TM36K &lt;Disc&gt; &quot;Printer&quot;"), std::string::npos);

  // Every column of the history line is the record's: its end as the dialog shows it, the unit,
  // the result word, the whole seconds between the record's start and end, the first row that
  // failed or warned, and the record's file.
  const auto history = History();
  ASSERT_EQ(history.size(), 2u);
  const std::string start = record["start"];
  const std::string end = record["end"];
  ASSERT_EQ(start.substr(0, 10), end.substr(0, 10)) << "a run within one day";
  std::string firstProblem = ",";
  for (const auto& row : record["rows"]) {
    if (row["icon"] == "failed" || row["icon"] == "warned") {
      firstProblem =
          std::to_string(row["number"].get<int>()) + "," + row["caption"].get<std::string>();
      break;
    }
  }
  if (c.problem != nullptr) {
    EXPECT_EQ(firstProblem, c.problem);
  }
  const std::vector<std::string> columns = CsvFields(firstProblem);
  EXPECT_EQ(CsvFields(history[1]),
            (std::vector<std::string>{end.substr(0, 10) + " " + end.substr(11, 8), "TM36K",
                                      "TK36K0042", "RM82C V1.20", result,
                                      std::to_string(SecondOfDay(end) - SecondOfDay(start)),
                                      columns.at(0), columns.at(1), jsons[0].filename().string()}))
      << history[1];
  EXPECT_EQ(record["seconds"].get<int>(), SecondOfDay(end) - SecondOfDay(start));
  if (c.result != nullptr) {
    EXPECT_GT(SecondOfDay(end) - SecondOfDay(start), 0) << "a whole run takes seconds";
  }
  if (c.triedRow > 0) {
    EXPECT_EQ(record["rows"][static_cast<std::size_t>(c.triedRow - 1)]["attempts"], c.tries);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RecordOfARun,
    ::testing::Values(
        RunCase{"Passed", Tm36kBench(), {}, "Success", false, ",", 5, 1},
        RunCase{"Warned",
                Tm36kBench("TK36K0042", 2),
                {},
                "Warning",
                false,
                "2,Check if printer is online"},
        // No discs: the input-bin row asks, polls silently after Retry and asks again. Two
        // tries, however many polls; history names the warned printer row, the first.
        RunCase{"WarnedThenFailed",
                Tm36kBench("TK36K0042", 2, 0),
                {ui::kIdRetry, ui::kIdCancel},
                "Error",
                true,
                "2,Check if printer is online",
                5,
                2},
        // The tray refuses: the first time a Retry clears it (row 4, two tries), the second
        // time the operator gives up (row 10, the first row that stays failed).
        RunCase{"Failed",
                Tm36kBench("TK36K0042", 3, 5,
                           {R"({"kind": "reply", "command": "AT+T00", "occurrence": 1, "times": 0,
                                            "answer": "error"})"}),
                {ui::kIdRetry, ui::kIdCancel},
                "Error",
                true,
                "10,Tray moves to loading area",
                4,
                2},
        RunCase{"Cancelled",
                Tm36kBench("TK36K0042", 3, 0),
                {ui::kIdCancel},
                "Error",
                true,
                "5,Check disc in the input bin",
                5,
                1},
        // The cable pulled mid-run: the rows after it keep no icon.
        RunCase{"Cut",
                Tm36kBench("TK36K0042", 3, 5, {AfterCommand("unplug", 12)}),
                {},
                nullptr,
                false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- History, names, unwritable folders ---------------------------------------------------------

TEST_F(RunRecords, HistoryKeepsEveryRunAcrossARestart) {
  StartOnBench(Tm36kBench("TK36K0042", 3, 10));
  for (int i = 0; i < 3; ++i) Run();
  StartProgram();  // the operator closes the program and starts it again
  for (int i = 0; i < 3; ++i) Run();
  const auto history = History();
  ASSERT_EQ(history.size(), 7u);
  EXPECT_EQ(history[0],
            "\xEF\xBB\xBF"
            "End,Model,Serial,Firmware,Result,Seconds,Row,Step,Record\r");
  EXPECT_EQ(Files(".json").size(), 6u);
  EXPECT_EQ(Files(".html").size(), 6u);
  for (std::size_t i = 1; i < history.size(); ++i) {
    EXPECT_NE(history[i].find(",Success,"), std::string::npos) << history[i];
    if (i > 1) {
      EXPECT_LT(history[i - 1], history[i]) << "in the order of the runs";
    }
  }
}

TEST_F(RunRecords, AnUnwritableFolderChangesNeitherTheRunNorTestLogAndTheNextRunCatchesUp) {
  StartOnBench(Tm36kBench());
  std::ofstream(kRecordFolder) << "a file where the folder should be";
  Run();
  EXPECT_EQ(ResultWord(), "Success");
  const auto lines = LogLinesSnapshot();
  std::string expected;
  for (const auto& l : lines) expected += l + "\r\n";
  EXPECT_EQ(FileText(kLogFileName), expected);
  for (const auto& message : LogMessages())
    EXPECT_EQ(message.find("Could not write"), std::string::npos);

  fs::remove(kRecordFolder);
  Run();
  const auto messages = LogMessages();
  EXPECT_EQ(std::count_if(
                messages.begin(), messages.end(),
                [](const std::string& m) { return m.starts_with("Could not write TestRecords/"); }),
            1);
  EXPECT_EQ(Files(".json").size(), 2u) << "the first run's record was kept and written now";
  EXPECT_EQ(History().size(), 3u);
}

// The temporary files of the record folder refuse their bytes as a folder without rights or a
// full disk does; other files are the host's.
class RefusingRecordFiles : public platform::sim::DeviceFileProvider {
 public:
  std::uint32_t refusal = 0;  // the error every write gets; 0: nothing is refused

  int opens = -1;  // how many more temporary files are refused; -1: every one

  platform::sim::DeviceOpen Open(std::string_view path, std::uint32_t, std::uint32_t,
                                 std::uint32_t) override {
    if (refusal == 0 || opens == 0 || path.find("~writing-") == std::string_view::npos) return {};
    if (opens > 0) --opens;
    return {true, std::make_unique<Refused>(refusal)};
  }

 private:
  struct Refused : platform::sim::SimFile {
    explicit Refused(std::uint32_t code) : code(code) {}
    bool Read(std::span<std::uint8_t>, std::uint32_t*) override { return false; }
    bool Write(std::span<const std::uint8_t>, std::uint32_t*) override {
      platform::sim::SetSimLastError(code);
      return false;
    }
    std::uint32_t code;
  };
};

// Records waiting one behind another are each named once, with what kept each out.
TEST_F(RunRecords, EachRecordThatCouldNotBeWrittenIsNamedOnceWithItsOwnReason) {
  StartOnBench(Tm36kBench("TK36K0042", 3, 10));
  auto refusing = std::make_shared<RefusingRecordFiles>();
  sim_.AddDeviceFileProvider(refusing);
  refusing->refusal = platform::kErrorAccessDenied;
  Run();
  refusing->refusal = 112;  // ERROR_DISK_FULL
  Run();
  refusing->refusal = 0;
  Run();
  const auto files = Files(".json");
  ASSERT_EQ(files.size(), 3u) << "every record is written in the end";
  std::vector<std::string> failures;
  for (const auto& m : LogMessages()) {
    if (m.starts_with("Could not write")) failures.push_back(m);
  }
  const std::string folder = std::string("Could not write ") + kRecordFolder + "/";
  EXPECT_EQ(failures,
            (std::vector<std::string>{folder + files[0].filename().string() + ": Access is denied.",
                                      folder + files[1].filename().string() +
                                          ": There is not enough space on the disk."}));
  EXPECT_EQ(History().size(), 4u);
}

// Names never run out: the first keeps its name, the later ones "-2", "-3", ... however many end
// in the same second, and every one has its line in history.csv.
TEST_F(RunRecords, RunsEndingInTheSameSecondGetTheirOwnNames) {
  RunRecord record;
  record.unit.model = "TM36K";
  record.unit.serial = "TK36K0042";
  record.end = {2026, 12, 7, 9, 5, 5, 0};
  RecordKeeper keeper;
  constexpr std::size_t kRuns = 102;
  for (std::size_t i = 0; i < kRuns; ++i) keeper.Keep(record);
  EXPECT_EQ(keeper.PendingCount(), 0u);
  EXPECT_EQ(keeper.TakeFailureLines(), std::vector<std::string>{});
  const auto files = Files(".json");
  ASSERT_EQ(files.size(), kRuns);
  EXPECT_EQ(Files(".html").size(), kRuns);
  for (const char* name : {"", "-2", "-99", "-100", "-102"}) {
    const std::string file = std::string("20261207-090505-TM36K-TK36K0042") + name + ".json";
    EXPECT_TRUE(fs::exists(fs::path(kRecordFolder) / file)) << file;
  }
  EXPECT_EQ(History().size(), kRuns + 1);
}

// A record that cannot be written holds back no later record's line: that line goes into
// history.csv at once, and the held record's follows once it is written.
TEST_F(RunRecords, ARecordNotWrittenYetHoldsBackNoLaterLine) {
  auto refusing = std::make_shared<RefusingRecordFiles>();
  sim_.AddDeviceFileProvider(refusing);
  RunRecord held, later;
  held.unit.model = later.unit.model = "TM36K";
  held.unit.serial = "HELD";
  later.unit.serial = "LATER";
  held.end = later.end = {2026, 12, 7, 9, 5, 5, 0};
  RecordKeeper keeper;
  refusing->refusal = platform::kErrorAccessDenied;
  refusing->opens = 1;
  keeper.Keep(held);
  refusing->opens = 1;  // the held record's next try is refused too, the later one's is not
  keeper.Keep(later);
  auto history = History();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_NE(history[1].find("LATER.json"), std::string::npos) << history[1];
  EXPECT_EQ(keeper.TakeFailureLines(),
            std::vector<std::string>{"Could not write TestRecords/20261207-090505-TM36K-HELD.json: "
                                     "Access is denied."});
  refusing->refusal = 0;
  keeper.Keep(later);
  history = History();
  ASSERT_EQ(history.size(), 4u);
  EXPECT_NE(history[2].find("HELD.json"), std::string::npos) << history[2];
  EXPECT_EQ(keeper.PendingCount(), 0u);
}

TEST(RecordNames, SerialsAFileNameCannotHoldGetASafeForm) {
  struct Case {
    const char* model;
    const char* serial;
    const char* name;
  } cases[] = {
      {"TM36K", "TK36K0042", "20261207-090505-TM36K-TK36K0042"},
      {"TM36K", "TK 36K 0042", "20261207-090505-TM36K-TK_36K_0042"},
      {"TM36K", "", "20261207-090505-TM36K-NOSERIAL"},
      {"TM36K", "   ", "20261207-090505-TM36K-NOSERIAL"},
      {"HV22", "..\\..\\CON:*?", "20261207-090505-HV22-_._.._CON___"},
      {"", "\xE9\x01/", "20261207-090505-UNKNOWN-NOSERIAL"},
  };
  for (const Case& c : cases) {
    RunRecord record;
    record.unit.model = c.model;
    record.unit.serial = c.serial;
    record.end = {2026, 12, 7, 9, 5, 5, 0};
    EXPECT_EQ(RecordBaseName(record), c.name) << c.serial;
  }
}

TEST_F(RunRecords, ASerialWithBlanksNamesItsRecordInASafeForm) {
  StartOnBench(Tm36kBench("TK 36K 0042"));
  Run();
  const auto files = Files(".json");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].filename().string().ends_with("-TM36K-TK_36K_0042.json")) << files[0];
  EXPECT_EQ(nlohmann::json::parse(FileText(files[0]))["unit"]["serial"], "TK 36K 0042");
}

TEST(RecordTexts, ZonesAndRunIdsReadAsTheirStandardsWriteThem) {
  const std::pair<int, const char*> zones[] = {
      {60, "+01:00"}, {0, "+00:00"}, {-330, "-05:30"}, {345, "+05:45"}, {-720, "-12:00"}};
  for (const auto& [minutes, text] : zones) EXPECT_EQ(UtcOffsetText(minutes), text) << minutes;
  unsigned char ones[16];
  std::memset(ones, 0xFF, sizeof ones);
  unsigned char zeros[16] = {};
  EXPECT_EQ(UuidText(ones, 4), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  EXPECT_EQ(UuidText(zeros, 8), "00000000-0000-8000-8000-000000000000");
  // Derived ids: stable, and one byte more or less is another id.
  EXPECT_EQ(ContentRunId("run"), ContentRunId("run"));
  EXPECT_NE(ContentRunId("run"), ContentRunId("rum"));
  EXPECT_NE(ContentRunId("run"), ContentRunId(std::string("run\0", 4)));
  EXPECT_NE(ContentRunId(""), ContentRunId(std::string(1, '\0')));
}

TEST(RecordTexts, CsvFieldsQuoteAndDisarmFormulas) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "plain"},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"=1+2", "'=1+2"},
      {"+SUM(A1)", "'+SUM(A1)"},
      {"-2", "'-2"},
      {"@cmd", "'@cmd"},
      {"=a,b", "\"'=a,b\""},
      {"two\nlines", "\"two\nlines\""},
      {"\xE9", "\xC3\xA9"},
      // A name the system gave in UTF-8 keeps its characters; a unit's other bytes beside it
      // read as Latin-1.
      {"Drucker f\xC3\xBCr CD", "Drucker f\xC3\xBCr CD"},
      {"\xC3\xBC\xE9", "\xC3\xBC\xC3\xA9"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(CsvField(in), out) << in;
}

// A history line from its record alone, column by column: the end to the second, the unit's
// texts as CSV fields, the whole seconds from start to end (across a minute, midnight and a new
// year alike), the first row that failed or warned, the record's file.
TEST(RecordTexts, AHistoryLineHoldsEveryColumnOfItsRecord) {
  struct Case {
    const char* name;
    platform::LocalTime start, end;
    std::vector<const char*> icons;  // one row each, captions "Row 1", "Row 2", ...
    const char* result;
    const char* line;
  };
  const Case cases[] = {
      // Seconds between the times as they are shown (09:05:30 to 09:06:12), not 41.2 s rounded.
      {"FortyTwoSecondsOverAMinute",
       {2026, 12, 7, 9, 5, 30, 90},
       {2026, 12, 7, 9, 6, 12, 10},
       {"passed", "passed"},
       "Success",
       "2026-12-07 09:06:12,TM36K,TK36K0042,\"RM82C, V1.20\",Success,42,,,r.json\r\n"},
      {"FortyTwoSecondsOverANewYear",
       {2026, 12, 31, 23, 59, 40, 50},
       {2027, 1, 1, 0, 0, 22, 50},
       {"passed", "warned", "failed"},
       "Error",
       "2027-01-01 00:00:22,TM36K,TK36K0042,\"RM82C, V1.20\",Error,42,2,Row 2,r.json\r\n"},
      {"TwoHoursAFailureFirst",
       {2026, 12, 7, 9, 0, 0, 0},
       {2026, 12, 7, 11, 0, 1, 0},
       {"failed", "warned", ""},
       "Error",
       "2026-12-07 11:00:01,TM36K,TK36K0042,\"RM82C, V1.20\",Error,7201,1,Row 1,r.json\r\n"},
  };
  for (const Case& c : cases) {
    RunRecord record;
    record.unit.model = "TM36K";
    record.unit.serial = "TK36K0042";
    record.unit.firmware = "RM82C, V1.20";
    record.start = c.start;
    record.end = c.end;
    record.result = c.result;
    for (const char* icon : c.icons) {
      RecordRow row;
      row.number = static_cast<int>(record.rows.size()) + 1;
      row.caption = "Row " + std::to_string(row.number);
      row.icon = icon;
      record.rows.push_back(row);
    }
    EXPECT_EQ(HistoryLine(record, "r.json"), c.line) << c.name;
    EXPECT_EQ(nlohmann::json::parse(RecordJsonText(record))["seconds"],
              std::stoi(CsvFields(c.line).at(5)))
        << c.name << ": the record's own seconds";
  }
}

TEST(RecordTexts, HtmlShowsUnitTextsAsTextNeverAsMarkup) {
  EXPECT_EQ(HtmlText("<script>alert(\"x\")</script>"),
            "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;");
  EXPECT_EQ(HtmlText("a'b&c"), "a&#39;b&amp;c");
  EXPECT_EQ(HtmlText("\xE9\x85\x01"), "&#xE9;&#xFFFD;&#xFFFD;");
  EXPECT_EQ(HtmlText("f\xC3\xBCr \xE9 \xE2\x82\xAC\xF0\x9F\x92\xBF\xC2\x85"),
            "f&#xFC;r &#xE9; &#x20AC;&#x1F4BF;&#xFFFD;");
  RunRecord record;
  record.unit.serial = "<img src=x onerror=alert(1)>";
  record.unit.firmware = "\"><script>";
  record.rows.emplace_back();
  record.rows.back().number = 1;
  record.rows.back().caption = "<b>bold</b>";
  const std::string html = RecordHtml(record);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_EQ(ReportRows(html), (std::vector<ReportRow>{{"", "<b>bold</b>", "0"}}));
}

// Most steps take a few seconds: whole seconds would read "0 s" for nearly every row.
TEST(RecordTexts, StepTimesShowTenthsBelowTenSeconds) {
  struct Case {
    platform::LocalTime from, to;
    const char* shown;
  } cases[] = {
      {{2026, 12, 7, 9, 5, 5, 10}, {2026, 12, 7, 9, 5, 5, 14}, "0.0 s"},
      {{2026, 12, 7, 9, 5, 5, 90}, {2026, 12, 7, 9, 5, 6, 20}, "0.3 s"},
      {{2026, 12, 7, 9, 5, 5, 0}, {2026, 12, 7, 9, 5, 7, 45}, "2.5 s"},
      {{2026, 12, 7, 9, 5, 5, 0}, {2026, 12, 7, 9, 5, 14, 94}, "9.9 s"},
      {{2026, 12, 7, 9, 5, 5, 0}, {2026, 12, 7, 9, 5, 17, 60}, "12 s"},
      {{2026, 12, 7, 9, 5, 5, 0}, {2026, 12, 7, 9, 6, 20, 0}, "1 min 15 s"},
  };
  for (const Case& c : cases) {
    RunRecord record;
    RecordRow row;
    row.number = 1;
    row.begun = row.ended = true;
    row.firstStart = c.from;
    row.lastEnd = c.to;
    record.rows.push_back(row);
    EXPECT_NE(RecordHtml(record).find(std::string("<td class='time'>") + c.shown + "</td>"),
              std::string::npos)
        << c.shown;
  }
}

// The program writes records with its own small writer; the records were written by the JSON
// library before, and the tools still read them with it. The writer's string literals are the
// library's, byte for byte, for any bytes: escapes, UTF-8 kept, and U+FFFD for each broken
// sequence (a lone continuation byte, a cut, overlong or surrogate sequence, a byte above F4).
TEST(RecordTexts, JsonStringsAreTheLibrarysForAnyBytes) {
  auto library = [](const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  auto ours = [](const std::string& text) {
    std::string out;
    AppendJsonString(out, text);
    return out;
  };
  const std::pair<std::string, std::string> kept[] = {
      {"say \"hi\" \\ /", R"("say \"hi\" \\ /")"},
      {std::string("\0\x01\b\t\n\f\r\x1F\x7F", 9), R"("\u0000\u0001\b\t\n\f\r\u001f)"
                                                   "\x7F\""},
      {"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xBF", "\"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xBF\""},
      {"a\xE9"
       "b",
       "\"a\xEF\xBF\xBD"
       "b\""},                           // Latin-1 is not UTF-8
      {"\xE2\x82", "\"\xEF\xBF\xBD\""},  // cut at the end
      {"\xE2\x82"
       "A",
       "\"\xEF\xBF\xBD"
       "A\""},                                                       // cut before a character
      {"\xC0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong NUL
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate
      {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& [text, literal] : kept) {
    EXPECT_EQ(ours(text), literal) << text;
    EXPECT_EQ(ours(text), library(text)) << text;
  }
  // Short texts drawn from the bytes where UTF-8 and escaping have their edges.
  const unsigned char edges[] = {0x00, 0x08, 0x09, 0x0A, 0x1F, '"',  '\\', 'a',  0x7F, 0x80,
                                 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0,
                                 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  std::mt19937 draw(16);
  for (int i = 0; i < 20000; ++i) {
    std::string text(draw() % 9, ' ');
    for (char& c : text) c = static_cast<char>(edges[draw() % sizeof edges]);
    ASSERT_EQ(ours(text), library(text)) << ::testing::PrintToString(text);
  }
}

// A record's file is laid out as the library lays out the same value: members in the byte order
// of their names, two-space indents, "[]" for an empty list, null for a time never set.
TEST(RecordTexts, ARecordsJsonIsLaidOutAsTheToolsReadIt) {
  RunRecord record;
  record.program = "Veltrane 0.1.0";
  record.computer =
      "PR\xC3\x9C"
      "FPLATZ-1";  // as the platform gives the station's name: UTF-8
  record.item = "[0] TM36K (TK\xE9\"0042)";
  record.unit.model = "TM36K";
  record.unit.identification = {"RM82C V1.20", "0", "TK36K0042"};
  record.start = {2026, 12, 7, 9, 5, 3, 25};
  record.end = {2026, 12, 7, 9, 5, 1, 0};  // a clock set back: negative seconds
  record.result = "Error";
  record.rows.resize(2);
  record.rows[0] = {1,
                    "Tray\topen",
                    "failed",
                    true,
                    true,
                    record.start,
                    record.end,
                    2,
                    {"[ERROR] An error occurs when the upper tray opens.\r"},
                    {{"Retry?", "Error", "Retry/Cancel", "error", "Cancel"}}};
  record.rows[1].number = 2;
  record.rows[1].caption = "\x01";
  record.memo = {"1. [ERROR] x"};
  record.log = {"", "\\\\"};
  const std::string text = RecordJsonText(record);
  const auto value = nlohmann::json::parse(text);
  EXPECT_EQ(text, value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  EXPECT_EQ(value["item"], "[0] TM36K (TK\xC3\xA9\"0042)");
  EXPECT_EQ(value["computer"],
            "PR\xC3\x9C"
            "FPLATZ-1");
  EXPECT_EQ(value["seconds"], -2);
  EXPECT_EQ(value["rows"][0]["seconds"], -2);
  EXPECT_EQ(value["rows"][0]["prompts"][0]["answer"], "Cancel");
  EXPECT_TRUE(value["rows"][1]["first_start"].is_null());
  EXPECT_TRUE(value["rows"][1]["seconds"].is_null());
  EXPECT_EQ(value["rows"][1]["caption"], "\x01");
  EXPECT_EQ(value["unit"]["drives"], nlohmann::json::array());
  EXPECT_NE(text.find("\"prompts_outside_rows\": [],\n"), std::string::npos);
  EXPECT_EQ(value["log"][1], "\\\\");
  EXPECT_EQ(Violation(value, Schema(), Schema()), "");
}

// Windows' MoveFileEx does not replace a file that is open elsewhere (a spreadsheet showing the
// history): this platform refuses every move onto a name that is there, as Windows does then,
// and, when told, every move of a new text into place.
class OpenHistoryPlatform : public platform::sim::SimPlatform {
 public:
  OpenHistoryPlatform() : SimPlatform(Options()) {}
  bool MoveFileExA(const char* from, const char* to, std::uint32_t flags) override {
    const bool replacing = GetFileAttributesA(to) != platform::kInvalidFileAttributes;
    const bool newText = std::string_view(from).find("~writing-") != std::string_view::npos;
    const bool refused = refuseNewText && newText && newTextRefusals != 0;
    if (replacing || refused) {
      if (!replacing && newTextRefusals > 0) --newTextRefusals;
      platform::sim::SetSimLastError(platform::kErrorAccessDenied);
      return false;
    }
    return SimPlatform::MoveFileExA(from, to, flags);
  }
  bool refuseNewText = false;
  int newTextRefusals = -1;  // how many more new texts are refused; -1: every one

 private:
  static platform::sim::SimOptions Options() {
    platform::sim::SimOptions options;
    options.hostFacts = false;
    return options;
  }
};

TEST_F(RunRecords, AHistoryThatCannotBeReplacedStepsAsideAndIsNeverLost) {
  OpenHistoryPlatform windows;
  platform::SetPlatform(&windows);
  std::string error;
  const std::string history = std::string(kRecordFolder) + "/" + kHistoryFile;
  ASSERT_TRUE(ReplaceFile(kRecordFolder, kHistoryFile, "first\r\n", error)) << error;
  ASSERT_TRUE(ReplaceFile(kRecordFolder, kHistoryFile, "second\r\n", error)) << error;
  EXPECT_EQ(FileText(history), "second\r\n");

  windows.refuseNewText = true;  // the new text cannot take the name either
  EXPECT_FALSE(ReplaceFile(kRecordFolder, kHistoryFile, "third\r\n", error));
  EXPECT_EQ(error, "Access is denied.");
  EXPECT_EQ(FileText(history), "second\r\n") << "the old history is back under its name";
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(kRecordFolder)) {
    names.push_back(e.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{kHistoryFile}) << "no .old, no temporary file";
  platform::SetPlatform(&sim_);
}

// The history keeps the order of the runs: a line that could not be written holds back the
// lines of the runs after it, even when the file would take theirs, until it is written itself.
TEST_F(RunRecords, HistoryLinesKeepTheOrderOfTheRunsWhenOneIsHeldBack) {
  OpenHistoryPlatform windows;
  platform::SetPlatform(&windows);
  RecordKeeper keeper;
  std::vector<RunRecord> runs(3);
  const char* serials[] = {"FIRST", "SECOND", "THIRD"};
  for (std::size_t i = 0; i < runs.size(); ++i) {
    runs[i].unit.model = "TM36K";
    runs[i].unit.serial = serials[i];
    runs[i].end = {2026, 12, 7, 9, 5, static_cast<int>(i), 0};
  }
  windows.refuseNewText = true;
  windows.newTextRefusals = 1;  // the first run's line
  keeper.Keep(runs[0]);
  windows.newTextRefusals = 1;  // its second try; the file would take the next line
  keeper.Keep(runs[1]);
  EXPECT_TRUE(History().empty());
  keeper.Keep(runs[2]);
  const auto history = History();
  ASSERT_EQ(history.size(), 4u);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_NE(history[i + 1].find(serials[i]), std::string::npos) << history[i + 1];
  }
  platform::SetPlatform(&sim_);
}

// A replacement cut short between its two moves left the history only as "history.csv.old":
// the next record goes on from there, and the old file goes.
TEST_F(RunRecords, AHistoryLeftAsideByACrashIsCarriedOn) {
  fs::create_directory(kRecordFolder);
  const std::string earlier =
      HistoryHeader() + "2026-12-07 09:00:00,TM36K,A,,Success,5,,,a.json\r\n";
  std::ofstream(fs::path(kRecordFolder) / "history.csv.old", std::ios::binary) << earlier;
  RunRecord record;
  record.unit.model = "TM36K";
  record.end = {2026, 12, 7, 9, 5, 5, 0};
  RecordKeeper keeper;
  keeper.Keep(record);
  EXPECT_EQ(keeper.PendingCount(), 0u);
  const auto history = History();
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(history[1] + "\n", earlier.substr(HistoryHeader().size()));
  EXPECT_FALSE(fs::exists(fs::path(kRecordFolder) / "history.csv.old"));
}

// --- veltrane-log --json and --html
// ---------------------------------------------------------------

TEST_F(RunRecords, ASavedLogReadsBackAsTheRunsItHolds) {
  StartOnBench(Tm36kBench());
  Run();
  Run({});
  std::ifstream log(kLogFileName, std::ios::binary);
  const auto runs = RecordsFromLog(log);
  ASSERT_EQ(runs.size(), 2u);
  const auto kept = nlohmann::json::parse(FileText(Files(".json").at(0)));
  for (const RunRecord& run : runs) {
    const auto json = RecordJson(run);
    EXPECT_EQ(Violation(json, Schema(), Schema()), "");
    EXPECT_EQ(json["source"], "log");
    EXPECT_EQ(json["result"], "Success");
    EXPECT_EQ(json["unit"]["serial"], "TK36K0042");
    EXPECT_EQ(json["unit"]["model"], "TM36K");
    ASSERT_EQ(json["rows"].size(), kept["rows"].size());
    for (std::size_t i = 0; i < kept["rows"].size(); ++i) {
      EXPECT_EQ(json["rows"][i]["caption"], kept["rows"][i]["caption"]);
      EXPECT_EQ(json["rows"][i]["icon"], "passed");
    }
  }
  EXPECT_EQ(RecordJson(runs[0])["log"], kept["log"]);
  // No id in a log: each rebuilt run is named by its content, the same at every rebuild.
  std::ifstream again(kLogFileName, std::ios::binary);
  const auto rebuilt = RecordsFromLog(again);
  ASSERT_EQ(rebuilt.size(), runs.size());
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(rebuilt[i].runId, runs[i].runId);
    EXPECT_EQ(runs[i].runId.at(14), '8') << runs[i].runId;
    EXPECT_NE(runs[i].runId, kept["run_id"]);
    EXPECT_TRUE(RecordJson(runs[i])["utc_offset"].is_null());
  }
  EXPECT_NE(runs[0].runId, runs[1].runId);

  const std::string command =
      std::string("\"") + VELTRANE_LOG_TOOL + "\" --html Test.log > all.html";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string html = FileText("all.html");
  EXPECT_EQ(ReportRows(html).size(), 2 * kept["rows"].size());
  EXPECT_EQ(std::count(html.begin(), html.end(), '\n') > 100, true);
}

}  // namespace
