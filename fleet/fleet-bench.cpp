// Measures the fleet's store (a measuring tool, not a test): ingest against the floor of only
// reading and parsing the same files, a second ingest of the unchanged folder against the first,
// and every dashboard page at a small and a large number of stored runs.
// Usage: veltrane-fleet-bench [--db URL] [--records N] [--small N] [--large N]
//   --db       a store to fill from empty (default: an SQLite file in a temporary folder); a
//              PostgreSQL database is emptied first
//   --records  record files for the ingest figures (default 20000)
//   --small, --large  runs stored for the page timings (default 10000 and 1000000)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/Dashboard.h"
#include "fleet/Ingest.h"
#include "report/RecordReport.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// This process's processor seconds: on a shared machine, what the wall time does not tell.
double Cpu() {
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

const char* kModels[] = {"TM36K", "TM36P", "HV22", "LQ40", "ZP61", "ZP65", "ZP71", "ZP75"};

// Run n of a factory testing 1,000 runs a day, each unit three times: realistic rows (10),
// a failed row in one run of eight with its prompt, a short log.
RunRecord Record(long long n) {
  RunRecord r;
  const std::string model = kModels[n % 8];
  // Each unit is tested three times.
  const std::string serial = model.substr(0, 4) + std::to_string(100000000 + n / 24);
  r.program = "Veltrane 0.1.0";
  r.computer = "STATION-" + std::to_string(n % 12 + 1);
  r.item = "[" + std::to_string(n % 4) + "] " + model + " (" + serial + ")";
  r.socket = static_cast<int>(n % 4);
  r.runId = ContentRunId("bench run " + std::to_string(n));
  r.runId[14] = '4';
  r.utcOffset = "+01:00";
  r.unit = {model,
            model + " USB Device",
            "VID_1723&PID_0935",
            serial,
            "V1.20",
            {"V1.20", "OK", serial},
            {"E"},
            ""};
  const long long day = n / 1000;
  const long long second = n % 1000 * 86;
  platform::LocalTime start{2020 + static_cast<int>(day / 336),
                            static_cast<int>(day / 28 % 12) + 1,
                            static_cast<int>(day % 28) + 1,
                            static_cast<int>(second / 3600),
                            static_cast<int>(second / 60 % 60),
                            static_cast<int>(second % 60),
                            0};
  r.start = start;
  r.end = start;
  r.end.minute = (r.end.minute + 1) % 60;
  if (r.end.minute == 0) r.end.hour = (r.end.hour + 1) % 24;
  const bool fails = n % 8 == 3;
  const int failedRow = static_cast<int>(n / 8 % 10) + 1;
  r.result = fails ? (n % 16 == 3 ? "Warning" : "Error") : "Success";
  for (int i = 1; i <= 10; ++i) {
    RecordRow row;
    row.number = i;
    row.caption = "Step " + std::to_string(i) + " of the " + model;
    row.begun = row.ended = true;
    row.firstStart = r.start;
    row.lastEnd = r.start;
    row.attempts = fails && i == failedRow ? 2 : 1;
    row.icon = fails && i == failedRow ? (r.result == "Warning" ? "warned" : "failed") : "passed";
    if (fails && i == failedRow) {
      row.memo = {"[ERROR] " + row.caption};
      row.prompts.push_back({"The tray does not move. Retry?", "Error", "Retry/Cancel", "error",
                             n % 3 ? "Retry" : "Cancel"});
    }
    r.rows.push_back(row);
  }
  r.memo = {"Test finished: " + r.result};
  for (int i = 0; i < 5; ++i) r.log.push_back("2026-12-07  9:05:0" + std::to_string(i) + " : line");
  return r;
}

struct Options {
  std::string db;
  long long records = 20000;
  long long small = 10000;
  long long large = 1000000;
};

std::unique_ptr<fleet::Store> Fresh(const std::string& db) {
  if (!db.starts_with("postgres")) fs::remove(db);
  auto store = fleet::OpenStore(db);
  if (db.starts_with("postgres")) {
    for (const char* table : {"runs", "steps", "prompts", "logs", "files", "facets", "units"}) {
      store->Exec(std::string("DELETE FROM ") + table);
    }
  }
  return store;
}

void Fill(fleet::Store& store, long long from, long long to) {
  const auto began = Clock::now();
  for (long long n = from; n < to;) {
    // The records as ingest hands them to the store, without the files between.
    std::vector<fleet::RunRows> runs;
    for (const long long end = std::min(to, n + 2000); n < end; ++n) {
      fleet::ReadRecord read;
      read.record = Record(n);
      read.contentHash = ContentRunId(read.record.runId);
      read.utcOffsetMinutes = 60;
      read.zoneKnown = true;
      runs.push_back(fleet::RowsOf(read, "bench/" + std::to_string(n) + ".json"));
    }
    store.Begin();
    fleet::StoreRuns(store, runs);
    store.Commit();
  }
  std::printf("  stored runs %lld..%lld in %.1f s (%.0f/s)\n", from, to, Since(began),
              static_cast<double>(to - from) / Since(began));
}

// The median of five renderings of each page.
std::vector<std::pair<std::string, double>> PageTimes(fleet::Store& store, long long last) {
  const RunRecord probe = Record(last - 1);
  const std::pair<std::string, fleet::Params> pages[] = {
      {"overview", {}},
      {"overview, one model", {{"model", "LQ40"}}},
      {"failing steps", {}},
      {"unit", {{"serial", probe.unit.serial}}},
      {"run", {{"id", probe.runId}}},
      {"search", {{"serial", probe.unit.serial.substr(0, probe.unit.serial.size() - 2)}}},
  };
  std::vector<std::pair<std::string, double>> times;
  for (const auto& [name, params] : pages) {
    const std::string path = name.starts_with("overview") ? "/"
                             : name == "failing steps"    ? "/steps"
                                                          : "/" + name;
    std::vector<double> t;
    for (int i = 0; i < 5; ++i) {
      std::string html;
      const auto began = Clock::now();
      fleet::Page(store, path, params, html);
      t.push_back(Since(began));
    }
    std::sort(t.begin(), t.end());
    times.emplace_back(name, t[2]);
  }
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const fs::path work =
      fs::temp_directory_path() / ("veltrane-fleet-bench-" + std::to_string(getpid()));
  fs::create_directories(work);
  o.db = (work / "fleet.sqlite").string();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--db") o.db = argv[i + 1];
    if (a == "--records") o.records = std::atoll(argv[i + 1]);
    if (a == "--small") o.small = std::atoll(argv[i + 1]);
    if (a == "--large") o.large = std::atoll(argv[i + 1]);
  }
  std::printf("store: %s\n", o.db.starts_with("postgres") ? "PostgreSQL" : "SQLite");
  // Ingest: the files, then the floor, the first and the second ingest.
  const fs::path folder = work / "TestRecords";
  fs::create_directories(folder);
  for (long long n = 0; n < o.records; ++n) {
    std::ofstream(folder / (std::to_string(n) + ".json"), std::ios::binary)
        << RecordJsonText(Record(n));
  }
  auto began = Clock::now();
  double cpu = Cpu();
  long long parsed = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    fleet::ReadRecord read;
    std::string reason;
    parsed += fleet::ReadRecordText(text.str(), read, reason) ? 1 : 0;
  }
  const double floor = Since(began);
  const double floorCpu = Cpu() - cpu;
  auto store = Fresh(o.db);
  began = Clock::now();
  cpu = Cpu();
  const fleet::IngestTally first = fleet::Ingest(*store, {folder.string()});
  const double ingest = Since(began);
  const double ingestCpu = Cpu() - cpu;
  began = Clock::now();
  cpu = Cpu();
  const fleet::IngestTally again = fleet::Ingest(*store, {folder.string()});
  const double second = Since(began);
  const double secondCpu = Cpu() - cpu;
  std::printf(
      "ingest of %lld records: read and parse only %.2f s (%.0f/s); ingest %.2f s (%.0f/s, "
      "%.2fx the floor); second ingest %.3f s (%.3f of the first; %lld unchanged)\n",
      parsed, floor, parsed / floor, ingest, first.stored / ingest, ingest / floor, second,
      second / ingest, again.unchanged);
  std::printf(
      "  processor time of this process: floor %.2f s, ingest %.2f s (%.2fx), second "
      "ingest %.3f s (%.3f of the first)\n",
      floorCpu, ingestCpu, ingestCpu / floorCpu, secondCpu, secondCpu / ingestCpu);
  fs::remove_all(folder);
  // Pages at the small and the large number of runs.
  store = Fresh(o.db);
  Fill(*store, 0, o.small);
  const auto small = PageTimes(*store, o.small);
  Fill(*store, o.small, o.large);
  const auto large = PageTimes(*store, o.large);
  std::printf("%-22s %12s %12s %8s\n", "page", (std::to_string(o.small) + " runs").c_str(),
              (std::to_string(o.large) + " runs").c_str(), "ratio");
  for (std::size_t i = 0; i < small.size(); ++i) {
    std::printf("%-22s %10.1f ms %10.1f ms %8.2f\n", small[i].first.c_str(), small[i].second * 1000,
                large[i].second * 1000, large[i].second / small[i].second);
  }
  store.reset();
  fs::remove_all(work);
  return 0;
}
