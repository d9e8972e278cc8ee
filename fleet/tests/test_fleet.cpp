// veltrane-fleet: each run stored exactly once whatever the folders and interruptions, every kind
// of refused file, hostile texts stored and shown as text, and the same figures on both stores.
// The store is SQLite; with VELTRANE_FLEET_PG (a libpq URI of a server the caller started, see
// scripts/fleet-postgresql.sh) every case runs on PostgreSQL as well.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include "app/SoakRun.h"
#include "fleet/Dashboard.h"
#include "fleet/Ingest.h"
#include "report/RecordReport.h"

namespace {

namespace fs = std::filesystem;
using fleet::AsNumber;
using fleet::AsText;

// A realistic record: a unit of `model`, its rows, a prompt on a failed row, a short log.
RunRecord MakeRecord(int n, const std::string& model, const std::string& serial,
                     const std::string& result, int failedRow = 0, int day = 7) {
  RunRecord r;
  r.program = "Veltrane 0.1.0";
  r.computer = "STATION-" + std::to_string(n % 2 + 1);
  r.item = "[0] " + model + " (" + serial + ")";
  r.socket = 0;
  r.runId = ContentRunId("run " + std::to_string(n));
  r.runId[14] = '4';
  r.utcOffset = "+01:00";
  r.unit = {model, "USB unit", "VID_1723&PID_0935", serial, "V1.20", {"V1.20", "OK", serial},
            {"E"}, ""};
  r.start = {2026, 12, day, 9, n % 60, 0, 0};
  r.end = {2026, 12, day, 9, n % 60, 30, 50};
  r.result = result;
  for (int i = 1; i <= 4; ++i) {
    RecordRow row;
    row.number = i;
    row.caption = "Step " + std::to_string(i);
    row.begun = row.ended = true;
    row.firstStart = r.start;
    row.lastEnd = r.end;
    row.attempts = i == failedRow ? 2 : 1;
    row.icon = i == failedRow ? (result == "Warning" ? "warned" : "failed") : "passed";
    if (i == failedRow) {
      row.memo = {"[ERROR] " + row.caption};
      row.prompts.push_back({"Tray stuck. Retry?", "Error", "Retry/Cancel", "error", "Cancel"});
    }
    r.rows.push_back(row);
  }
  r.memo = {"Test finished"};
  r.log = {"2026-12-07  9:05:00 : start", "2026-12-07  9:05:30 : end"};
  return r;
}

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

void WriteRecord(const fs::path& folder, const RunRecord& r) {
  Write(folder / (RecordBaseName(r) + "-" + r.runId.substr(0, 8) + ".json"), RecordJsonText(r));
}

long long Count(fleet::Store& store, const std::string& table) {
  return AsNumber(store.Query("SELECT COUNT(*) FROM " + table)[0][0]);
}

// The stores every case runs on: SQLite always, PostgreSQL when a server is given.
std::vector<std::string> Kinds() {
  std::vector<std::string> kinds{"sqlite"};
  if (std::getenv("VELTRANE_FLEET_PG") != nullptr) kinds.push_back("postgresql");
  return kinds;
}

class Fleet : public ::testing::TestWithParam<std::string> {
 protected:
  // A fresh store of this kind: an SQLite file in the scratch folder, or a new database.
  std::string Url() {
    if (GetParam() == "sqlite") return (fs::current_path() / "fleet.sqlite").string();
    static int count = 0;
    const std::string base = std::getenv("VELTRANE_FLEET_PG");  // postgresql://user@/DB?host=..
    const std::string name =
        "fleet_test_" + std::to_string(getpid()) + "_" + std::to_string(++count);
    {
      auto admin = fleet::OpenStore(base);
      admin->Exec("DROP DATABASE IF EXISTS " + name);
      admin->Exec("CREATE DATABASE " + name);
    }
    const std::size_t slash = base.find('/', base.find("://") + 3);
    const std::size_t query = base.find('?', slash);
    return base.substr(0, slash + 1) + name +
           (query == std::string::npos ? "" : base.substr(query));
  }
  soak::ScratchFolder scratch_{"fleet"};
};

TEST_P(Fleet, EachRunIsStoredOnceAcrossIngestsAndFolders) {
  for (int n = 0; n < 30; ++n)
    WriteRecord("a/TestRecords", MakeRecord(n, "TM36K", "TK" + std::to_string(n), "Success"));
  // The second station's folder holds copies of ten of them (a shared folder copied twice).
  for (int n = 0; n < 10; ++n)
    WriteRecord("b/sub/TestRecords", MakeRecord(n, "TM36K", "TK" + std::to_string(n), "Success"));
  Write("a/TestRecords/history.csv", "End,Model\r\n");
  Write("a/TestRecords/x.html", "<html>");
  const std::string url = Url();
  auto store = fleet::OpenStore(url);
  struct Pass {
    std::vector<std::string> folders;
    long long stored, known, unchanged;
  };
  const Pass passes[] = {
      {{"a"}, 30, 0, 0}, {{"a", "b"}, 0, 10, 30}, {{"a", "b"}, 0, 0, 40}, {{"b"}, 0, 0, 10}};
  for (const Pass& p : passes) {
    const fleet::IngestTally t = fleet::Ingest(*store, p.folders);
    EXPECT_EQ(t.stored, p.stored);
    EXPECT_EQ(t.known, p.known);
    EXPECT_EQ(t.unchanged, p.unchanged);
    EXPECT_EQ(t.refused, 0);
  }
  EXPECT_EQ(Count(*store, "runs"), 30);
  EXPECT_EQ(Count(*store, "steps"), 30 * 4);
  EXPECT_EQ(Count(*store, "prompts"), 0);
  EXPECT_EQ(Count(*store, "logs"), 30);
  // A record rewritten in place (same content, new time) is read again and found known.
  fs::path record;
  for (const auto& entry : fs::directory_iterator("a/TestRecords")) {
    if (entry.path().extension() == ".json") record = entry.path();
  }
  fs::last_write_time(record, fs::last_write_time(record) + std::chrono::seconds(5));
  EXPECT_EQ(fleet::Ingest(*store, {"a"}).known, 1);
  EXPECT_EQ(fleet::OpenStore(url)->Query("SELECT COUNT(*) FROM runs")[0][0], "30");
  // Two copies of a new run in one batch: the first stored, the second known.
  const RunRecord twice = MakeRecord(40, "LQ40", "LQ40", "Success");
  WriteRecord("c/1", twice);
  WriteRecord("c/2", twice);
  const fleet::IngestTally t = fleet::Ingest(*store, {"c"});
  EXPECT_EQ(t.stored, 1);
  EXPECT_EQ(t.known, 1);
  EXPECT_EQ(Count(*store, "steps"), 31 * 4);
  EXPECT_EQ(Count(*store, "files"), 42);
}

// Statements run together (a batch's inserts, in one round trip to a server) stop at the first
// that fails, with the store's words; the connection serves on after the rollback.
TEST_P(Fleet, StatementsRunTogetherStopAtTheFirstThatFails) {
  auto store = fleet::OpenStore(Url());
  const std::string insert = "INSERT INTO facets (kind, value) VALUES ($1, $2) RETURNING value";
  store->Begin();
  try {
    store->QueryAll(
        {{insert, {"model", "A"}}, {insert, {"model", fleet::Cell()}}, {insert, {"model", "C"}}});
    ADD_FAILURE() << "a NULL value was taken";
  } catch (const fleet::StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("value"), std::string::npos) << e.what();
  }
  store->Rollback();
  EXPECT_EQ(Count(*store, "facets"), 0);
  store->Begin();
  EXPECT_EQ(store->QueryAll({{insert, {"model", "A"}},
                             {insert, {"station", "S"}},
                             {"SELECT kind FROM facets ORDER BY kind", {}}}),
            (std::vector<std::vector<fleet::Row>>{{{"A"}}, {{"S"}}, {{"model"}, {"station"}}}));
  store->Commit();
  // An ingest whose store fails throws, its reading thread stopped while it waits for room.
  for (int n = 0; n < 12; ++n) WriteRecord("w", MakeRecord(n, "HV22", "HV", "Success"));
  store->SetReadOnly();
  fleet::IngestOptions options;
  options.batchRuns = 2;
  EXPECT_THROW(fleet::Ingest(*store, {"w"}, options), fleet::StoreError);
}

TEST_P(Fleet, EveryKindOfBadFileGetsOneLineAndIsSkipped) {
  const RunRecord good = MakeRecord(1, "LQ40", "LQ1", "Success");
  const std::string text = RecordJsonText(good);
  auto edited = [&](const std::string& from, const std::string& to) {
    std::string t = text;
    const std::size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return t.replace(at, from.size(), to);
  };
  RunRecord other = good;
  other.result = "Error";
  struct Bad {
    const char* file;
    std::string text;
    const char* reason;
  };
  const Bad bad[] = {
      {"notes.json", "hello", "not JSON"},
      {"cut.json", text.substr(0, text.size() / 2), "truncated"},
      {"empty.json", "", "not JSON"},
      {"other.json", "{\"schema\": \"something else\"}", "not a run record"},
      {"list.json", "[1, 2]", "not a run record"},
      {"newer.json", edited("\"version\": 1", "\"version\": 2"), "version 2 is not known"},
      {"noresult.json", edited("\"result\": \"Success\",", ""), "result: missing"},
      {"badtime.json", edited("\"start\": \"2026", "\"start\": \"20x6"), "start: not a time"},
      {"badid.json", edited("\"run_id\": \"", "\"run_id\": \"X"), "run_id: not a UUID"},
      {"badzone.json", edited("\"utc_offset\": \"+01:00\"", "\"utc_offset\": \"CET\""),
       "utc_offset: not an offset"},
      {"badicon.json", edited("\"icon\": \"passed\"", "\"icon\": \"<b>\""),
       "rows[0].icon: not an icon"},
      {"seconds.json", edited("\"seconds\": 30,", "\"seconds\": 31,"), "seconds: not the time"},
      {"wrongtype.json", edited("\"attempts\": 1", "\"attempts\": \"1\""),
       "rows[0].attempts: not an integer"},
      {"z-conflict.json", RecordJsonText(other), "a different record under run id"},
  };
  Write("s/good.json", text);
  for (const Bad& b : bad) Write(fs::path("s") / b.file, b.text);
  // Being written: left for later, never refused.
  Write("s/~writing-3.tmp", text.substr(0, 10));
  auto store = fleet::OpenStore(Url());
  const fleet::IngestTally t = fleet::Ingest(*store, {"s"});
  EXPECT_EQ(t.stored, 1);
  EXPECT_EQ(t.later, 1);
  ASSERT_EQ(t.refusals.size(), std::size(bad));
  for (const Bad& b : bad) {
    const std::string line = (fs::path("s") / b.file).string() + ": ";
    const auto it = std::find_if(t.refusals.begin(), t.refusals.end(),
                                 [&](const std::string& r) { return r.starts_with(line); });
    ASSERT_NE(it, t.refusals.end()) << b.file;
    EXPECT_NE(it->find(b.reason), std::string::npos) << *it;
  }
  // The stored record is never overwritten by the conflicting one.
  EXPECT_EQ(store->Query("SELECT result FROM runs")[0][0], "Success");
  // The program: one line per refused file on stdout, exit status 1.
  const std::string command =
      std::string(VELTRANE_FLEET_TOOL) + " ingest --db '" + Url() + "' s > out.txt 2> err.txt";
  EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 1);
  std::ifstream out("out.txt");
  int lines = 0;
  for (std::string line; std::getline(out, line);) ++lines;
  EXPECT_EQ(lines, static_cast<int>(std::size(bad)));
  const std::string clean = std::string(VELTRANE_FLEET_TOOL) + " ingest --db '" + Url() +
                            "' s/good.json-none > out.txt 2> err.txt";
  fs::create_directories("s/good.json-none");
  EXPECT_EQ(WEXITSTATUS(std::system(clean.c_str())), 0);
}

// Killed at random moments (within a batch, between batches), ingest leaves whole runs only, and
// the next ingest completes the work.
TEST_P(Fleet, AKilledIngestLeavesNoHalfStoredRun) {
  constexpr int kRuns = 120;
  for (int n = 0; n < kRuns; ++n)
    WriteRecord("r", MakeRecord(n, "HV22", "HV" + std::to_string(n), n % 3 ? "Success" : "Error",
                                n % 3 ? 0 : 2));
  const std::string url = Url();
  fleet::OpenStore(url);  // the schema in place before the first kill
  std::mt19937 random(36);
  for (int moment = 0; moment < 10; ++moment) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipeEnds[0]);
      auto store = fleet::OpenStore(url);
      fleet::IngestOptions options;
      options.batchRuns = 3;
      options.progress = [&](const fleet::IngestTally&) { (void)!write(pipeEnds[1], "b", 1); };
      fleet::Ingest(*store, {"r"}, options);
      _exit(0);
    }
    close(pipeEnds[1]);
    // After a random number of batches, and a random moment into the next.
    const int batches = static_cast<int>(random() % 4);
    char byte = 0;
    for (int b = 0; b < batches && read(pipeEnds[0], &byte, 1) == 1;) ++b;
    usleep(static_cast<useconds_t>(random() % 3000));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipeEnds[0]);
    auto store = fleet::OpenStore(url);
    // Whatever is stored is whole: every run with its four rows and its log.
    EXPECT_EQ(Count(*store, "steps"), 4 * Count(*store, "runs")) << "kill " << moment;
    EXPECT_EQ(Count(*store, "logs"), Count(*store, "runs")) << "kill " << moment;
    EXPECT_EQ(Count(*store, "files"), Count(*store, "runs")) << "kill " << moment;
  }
  auto store = fleet::OpenStore(url);
  const fleet::IngestTally t = fleet::Ingest(*store, {"r"});
  EXPECT_EQ(t.refused, 0);
  EXPECT_EQ(Count(*store, "runs"), kRuns);
  EXPECT_EQ(Count(*store, "steps"), 4 * kRuns);
  EXPECT_EQ(Count(*store, "prompts"), kRuns / 3);
  EXPECT_EQ(fleet::Ingest(*store, {"r"}).unchanged, kRuns);
}

TEST_P(Fleet, HostileTextsAreStoredAsTheyCameAndShownAsText) {
  RunRecord r = MakeRecord(5, "TM36K", "<script>alert('x')</script>", "Error", 1);
  r.computer = "ST\"ATION & <b>";
  r.rows[0].caption = std::string("Tray \x01\x1b[31m \"quoted\" 'single' \xC4\xFF\xA0");
  r.rows[0].prompts[0].text = "</td><img src=http://example.invalid/x>";
  r.rows[0].prompts[0].answer = "Cancel\x7F";
  r.unit.firmware = std::string("nul\0byte", 8);
  // A name the system gave in UTF-8, with characters beyond Latin-1.
  r.unit.printerQueue = "Drucker f\xC3\xBCr CD \xE2\x82\xAC \xC5\xBD";
  r.log.push_back("<iframe src='http://example.invalid'>");
  WriteRecord("h", r);
  auto store = fleet::OpenStore(Url());
  ASSERT_EQ(fleet::Ingest(*store, {"h"}).stored, 1);
  // Stored as text: the station's bytes read as Latin-1, in UTF-8.
  EXPECT_EQ(store->Query("SELECT serial, station FROM runs")[0],
            (fleet::Row{"<script>alert('x')</script>", "ST\"ATION & <b>"}));
  EXPECT_EQ(store->Query("SELECT caption FROM steps WHERE number = 1")[0][0],
            RecordUtf8(r.rows[0].caption));
  EXPECT_EQ(store->Query("SELECT printer_queue FROM runs")[0][0], r.unit.printerQueue);
  EXPECT_EQ(store->Query("SELECT firmware FROM runs")[0][0],
            "nul\xEF\xBF\xBD"
            "byte");
  const std::string serial = r.unit.serial;
  const std::pair<std::string, fleet::Params> pages[] = {
      {"/", {}},
      {"/", {{"serial", serial}, {"station", r.computer}}},
      {"/steps", {{"model", "TM36K"}}},
      {"/unit", {{"serial", serial}}},
      {"/search", {{"serial", "<scr"}}},
      {"/run", {{"id", r.runId}}},
      {"/", {{"model", "' OR 1=1 --"}, {"from", "<x>"}}},
  };
  for (const auto& [path, params] : pages) {
    std::string html;
    EXPECT_TRUE(fleet::Page(*store, path, params, html)) << path;
    for (const char* raw : {"<script", "<img", "<iframe", "<b>", "\x01", "\x1b", "\x7f"}) {
      EXPECT_EQ(html.find(raw), std::string::npos) << path << " shows " << raw;
    }
    EXPECT_EQ(html.find("example.invalid'>"), std::string::npos) << path;
  }
  std::string html;
  fleet::Page(*store, "/unit", {{"serial", serial}}, html);
  EXPECT_NE(html.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"), std::string::npos);
  fleet::Page(*store, "/run", {{"id", r.runId}}, html);
  EXPECT_NE(html.find("&lt;/td&gt;&lt;img src=http://example.invalid/x&gt;"), std::string::npos);
  EXPECT_NE(html.find("&#xC4;&#xFF;"), std::string::npos)
      << "8-bit bytes as the station shows them";
  // A filter is a value, never SQL: the quote matches no model.
  fleet::Page(*store, "/", {{"model", "' OR 1=1 --"}}, html);
  EXPECT_NE(html.find("<b id='runs'>0</b>"), std::string::npos);
}

// A known set of records: the figures every page shows.
void WriteKnownSet(const fs::path& folder) {
  struct Known {
    const char* model;
    const char* serial;
    const char* result;
    int failedRow;
    int day;
  };
  // LQ40 units: L1 fails at step 2 then passes; L2 passes; L3 warns at 3. TM36K: T1 fails at 2
  // twice, T2 passes. First-pass yield: LQ40 2/3, TM36K 1/2.
  const Known known[] = {{"LQ40", "L1", "Error", 2, 7},   {"LQ40", "L1", "Success", 0, 8},
                         {"LQ40", "L2", "Success", 0, 7}, {"LQ40", "L3", "Warning", 3, 8},
                         {"TM36K", "T1", "Error", 2, 7},  {"TM36K", "T1", "Error", 2, 9},
                         {"TM36K", "T2", "Success", 0, 9}};
  int n = 0;
  for (const Known& k : known)
    WriteRecord(folder, MakeRecord(n++, k.model, k.serial, k.result, k.failedRow, k.day));
}

// The figures of a table's number cells, in order.
std::vector<std::string> Figures(const std::string& html) {
  std::vector<std::string> out;
  const std::regex cell("<td class='n[^']*'>([^<]*)</td>");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), cell); it != std::sregex_iterator();
       ++it) {
    out.push_back((*it)[1]);
  }
  return out;
}

TEST_P(Fleet, PagesShowTheFiguresOfAKnownSet) {
  WriteKnownSet("k");
  auto store = fleet::OpenStore(Url());
  ASSERT_EQ(fleet::Ingest(*store, {"k"}).stored, 7);
  // Each unit's count of runs, the runs of one batch added up.
  EXPECT_EQ(store->Query("SELECT serial, runs FROM units WHERE model = 'TM36K' ORDER BY serial"),
            (std::vector<fleet::Row>{{"T1", "2"}, {"T2", "1"}}));
  std::string html;
  ASSERT_TRUE(fleet::Page(*store, "/", {}, html));
  EXPECT_NE(html.find("<b id='runs'>7</b>"), std::string::npos);
  EXPECT_NE(html.find("<b id='units'>5</b>"), std::string::npos);
  EXPECT_NE(html.find("<b id='fpy'>60.0 %</b>"), std::string::npos);
  EXPECT_NE(html.find("<svg class='trend'"), std::string::npos);
  // Per model: runs, units, yield, then Error, Success, Warning.
  const std::string byModel = html.substr(html.find("class='by-model'"));
  EXPECT_EQ(Figures(byModel.substr(0, byModel.find("</table>"))),
            (std::vector<std::string>{"4", "3", "66.7 %", "1", "2", "1", "3", "2", "50.0 %", "2",
                                      "1", "0"}));
  ASSERT_TRUE(fleet::Page(*store, "/", {{"model", "TM36K"}, {"from", "2026-12-09"}}, html));
  EXPECT_NE(html.find("<b id='runs'>2</b>"), std::string::npos);
  EXPECT_NE(html.find("<b id='fpy'>50.0 %</b>"), std::string::npos)
      << "T1's first run in the period";
  ASSERT_TRUE(fleet::Page(*store, "/steps", {{"model", "TM36K"}}, html));
  EXPECT_NE(html.find("<td>Step 2</td><td class='n'>2</td><td class='n'>100.0 %</td>"),
            std::string::npos);
  EXPECT_NE(html.find("<td>Tray stuck. Retry?</td><td>Cancel</td><td class='n'>2</td>"),
            std::string::npos);
  ASSERT_TRUE(fleet::Page(*store, "/unit", {{"serial", "L1"}}, html));
  EXPECT_LT(html.find(">Error<"), html.find(">Success<")) << "in time order";
  EXPECT_NE(html.find("2026-12-07 09:00:00 +01:00"), std::string::npos) << "the station's own time";
  std::string none;
  EXPECT_FALSE(fleet::Page(*store, "/run", {{"id", "nothing"}}, none));
}

// A store of an older schema is brought up to date on opening, what it holds kept and carried on.
TEST_P(Fleet, AnOlderStoreIsMigratedOnOpening) {
  WriteKnownSet("k");
  const std::string url = Url();
  {
    auto store = fleet::OpenStore(url);
    EXPECT_EQ(fleet::StoredSchemaVersion(*store), fleet::SchemaVersion());
    fleet::Ingest(*store, {"k"});
    // As version 2 left it: no facets, no units yet.
    store->Exec("DROP TABLE facets");
    store->Exec("DROP TABLE units");
    store->Exec("UPDATE fleet_schema SET version = 2");
  }
  auto store = fleet::OpenStore(url);
  EXPECT_EQ(fleet::StoredSchemaVersion(*store), fleet::SchemaVersion());
  EXPECT_EQ(store->Query("SELECT value FROM facets WHERE kind = 'model' ORDER BY value"),
            (std::vector<fleet::Row>{{"LQ40"}, {"TM36K"}}));
  EXPECT_EQ(store->Query("SELECT serial, runs FROM units WHERE model = 'TM36K' ORDER BY serial"),
            (std::vector<fleet::Row>{{"T1", "2"}, {"T2", "1"}}));
  EXPECT_EQ(Count(*store, "runs"), 7);
}

INSTANTIATE_TEST_SUITE_P(Stores, Fleet, ::testing::ValuesIn(Kinds()),
                         [](const auto& info) { return info.param; });

// Both stores, the same records: every page the same, byte for byte.
TEST(FleetStores, PostgreSqlShowsWhatSqliteShows) {
  const char* pg = std::getenv("VELTRANE_FLEET_PG");
  if (pg == nullptr) GTEST_SKIP() << "no PostgreSQL server given (VELTRANE_FLEET_PG)";
  soak::ScratchFolder scratch("fleet");
  WriteKnownSet("k");
  auto lite = fleet::OpenStore("fleet.sqlite");
  auto admin = fleet::OpenStore(pg);
  admin->Exec("DROP DATABASE IF EXISTS fleet_same");
  admin->Exec("CREATE DATABASE fleet_same");
  const std::string base = pg;
  const std::size_t slash = base.find('/', base.find("://") + 3);
  const std::size_t query = base.find('?', slash);
  auto server = fleet::OpenStore(base.substr(0, slash + 1) + "fleet_same" +
                                 (query == std::string::npos ? "" : base.substr(query)));
  fleet::Ingest(*lite, {"k"});
  fleet::Ingest(*server, {"k"});
  const std::string id = AsText(lite->Query("SELECT run_id FROM runs ORDER BY run_id")[0][0]);
  const std::pair<std::string, fleet::Params> pages[] = {
      {"/", {}},
      {"/", {{"model", "LQ40"}, {"to", "2026-12-07"}}},
      {"/steps", {}},
      {"/unit", {{"serial", "T1"}}},
      {"/search", {{"serial", "L"}}},
      {"/run", {{"id", id}}}};
  for (const auto& [path, params] : pages) {
    std::string a, b;
    fleet::Page(*lite, path, params, a);
    fleet::Page(*server, path, params, b);
    EXPECT_EQ(a, b) << path;
  }
}

}  // namespace
