// Ingest: list the folders, skip what the store has read before, read and check the rest, and
// store them a batch per transaction, each run under its id once.
#include "fleet/Ingest.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "report/RecordReport.h"

namespace fleet {
namespace {

namespace fs = std::filesystem;

// The station's bytes as the store's UTF-8 text; a NUL, which no PostgreSQL text holds, becomes
// U+FFFD on both stores alike.
Cell Utf8(const std::string& latin1) {
  std::string text = RecordUtf8(latin1);
  for (std::size_t at; (at = text.find('\0')) != std::string::npos;)
    text.replace(at, 1, "\xEF\xBF\xBD");
  return text;
}

std::string Joined(const std::vector<std::string>& lines, char separator) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i)
    out += (i == 0 ? "" : std::string(1, separator)) + lines[i];
  return out;
}

Cell OptionalMs(bool set, const platform::LocalTime& t, int offset) {
  return set ? Num(UtcMs(t, offset)) : Cell();
}

std::string DayOf(long long utcMs) {
  const platform::LocalTime t = LocalAt(utcMs, 0);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  return text;
}

struct Found {
  std::string path;
  long long size = 0;
  long long mtimeNs = 0;
};

bool IsTemporary(const fs::path& path) {
  const std::string name = path.filename().string();
  return path.extension() == ".tmp" || name.starts_with("~");
}

std::string ReadWhole(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  ok = static_cast<bool>(in) || in.eof();
  return text.str();
}

// Rows of one table, up to 100 a statement. The statements' texts repeat (1 to 100 rows), so
// the store's prepared statements serve again.
void InsertRows(Store& store, const std::string& head, const std::vector<Row>& rows) {
  constexpr std::size_t kRowsAStatement = 100;
  for (std::size_t from = 0; from < rows.size(); from += kRowsAStatement) {
    const std::size_t to = std::min(rows.size(), from + kRowsAStatement);
    std::string sql = head;
    std::vector<Cell> params;
    for (std::size_t r = from; r < to; ++r) {
      sql += r == from ? "(" : ", (";
      for (std::size_t c = 0; c < rows[r].size(); ++c) {
        params.push_back(rows[r][c]);
        sql += (c == 0 ? "$" : ", $") + std::to_string(params.size());
      }
      sql += ")";
    }
    store.Exec(sql, params);
  }
}

}  // namespace

bool StoreRun(Store& store, const ReadRecord& read, const std::string& path, bool& sameContent) {
  const RunRecord& r = read.record;
  const int offset = read.utcOffsetMinutes;
  const long long startMs = UtcMs(r.start, offset);
  const RecordRow* problem = nullptr;
  for (const RecordRow& row : r.rows) {
    if (row.icon == "failed" || row.icon == "warned") {
      problem = &row;
      break;
    }
  }
  store.Exec(
      "INSERT INTO runs (run_id, content_hash, station, item, socket, model, serial, firmware, "
      "result, source, program, start_ms, end_ms, utc_offset, seconds, day, problem_row, "
      "problem_step, description, usb_ids, identification, drives, printer_queue, memo, path) "
      "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, "
      "$19, $20, $21, $22, $23, $24, $25) ON CONFLICT (run_id) DO NOTHING",
      {r.runId,
       read.contentHash,
       Utf8(r.computer),
       Utf8(r.item),
       r.socket >= 0 ? Num(r.socket) : Cell(),
       Utf8(r.unit.model),
       Utf8(r.unit.serial),
       Utf8(r.unit.firmware),
       Utf8(r.result),
       std::string(r.fromLog ? "log" : "console"),
       Utf8(r.program),
       Num(startMs),
       Num(UtcMs(r.end, offset)),
       read.zoneKnown ? Cell(r.utcOffset) : Cell(),
       Num(SecondsBetween(r.start, r.end)),
       DayOf(startMs),
       problem ? Num(problem->number) : Cell(),
       problem ? Utf8(problem->caption) : Cell(),
       Utf8(r.unit.description),
       Utf8(r.unit.usbIds),
       Utf8(Joined(r.unit.identification, '\n')),
       Utf8(Joined(r.unit.drives, '\n')),
       Utf8(r.unit.printerQueue),
       Utf8(Joined(r.memo, '\n')),
       Utf8(path)});
  if (store.Changes() == 0) {
    const auto rows = store.Query("SELECT content_hash FROM runs WHERE run_id = $1", {r.runId});
    sameContent = !rows.empty() && rows[0][0] == read.contentHash;
    return false;
  }
  // Many rows a statement: a server round trip per table, not per row.
  store.Exec(
      "INSERT INTO facets (kind, value) VALUES ('model', $1), ('station', $2), ('result', $3) "
      "ON CONFLICT DO NOTHING",
      {Utf8(r.unit.model), Utf8(r.computer), Utf8(r.result)});
  store.Exec(
      "INSERT INTO units (serial, model, runs) VALUES ($1, $2, 1) ON CONFLICT (serial, model) DO "
      "UPDATE SET runs = units.runs + 1",
      {Utf8(r.unit.serial), Utf8(r.unit.model)});
  std::vector<Row> prompts;
  int seq = 0;
  for (const RecordPrompt& p : r.promptsOutsideRows) {
    prompts.push_back({r.runId, Num(seq++), Cell(), Utf8(p.text), Utf8(p.caption), Utf8(p.buttons),
                       Utf8(p.icon), Utf8(p.answer)});
  }
  std::vector<Row> steps;
  for (const RecordRow& row : r.rows) {
    steps.push_back({r.runId, Num(row.number), Utf8(row.caption), Utf8(row.icon), Num(row.attempts),
                     OptionalMs(row.begun, row.firstStart, offset),
                     OptionalMs(row.ended, row.lastEnd, offset), Num(row.begun ? 1 : 0),
                     Num(row.ended ? 1 : 0), Utf8(Joined(row.memo, '\n'))});
    for (const RecordPrompt& p : row.prompts) {
      prompts.push_back({r.runId, Num(seq++), Num(row.number), Utf8(p.text), Utf8(p.caption),
                         Utf8(p.buttons), Utf8(p.icon), Utf8(p.answer)});
    }
  }
  InsertRows(store,
             "INSERT INTO steps (run_id, number, caption, icon, attempts, first_start_ms, "
             "last_end_ms, begun, ended, memo) VALUES ",
             steps);
  InsertRows(store,
             "INSERT INTO prompts (run_id, seq, row_number, text, caption, buttons, icon, answer) "
             "VALUES ",
             prompts);
  store.Exec("INSERT INTO logs (run_id, lines) VALUES ($1, $2)",
             {r.runId, Utf8(Joined(r.log, '\n'))});
  return true;
}

IngestTally Ingest(Store& store, const std::vector<std::string>& folders,
                   const IngestOptions& options) {
  IngestTally tally;
  const Found* current = nullptr;  // the file being read, for the watch's memory of refusals
  auto refuse = [&](const std::string& path, const std::string& reason) {
    if (current != nullptr && options.refusedBefore != nullptr) {
      (*options.refusedBefore)[current->path] = {current->size, current->mtimeNs};
    }
    ++tally.refused;
    tally.refusals.push_back(path + ": " + reason);
    if (options.refusal) options.refusal(tally.refusals.back());
  };
  // Every record file of the folders, in a stable order.
  std::vector<Found> found;
  for (const std::string& folder : folders) {
    std::error_code error;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied,
                                        error);
    if (error) {
      refuse(folder, "cannot be read: " + error.message());
      continue;
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
      if (error) break;
      const fs::directory_entry& entry = *it;
      std::error_code e;
      if (!entry.is_regular_file(e)) continue;
      if (IsTemporary(entry.path())) {
        ++tally.later;
        continue;
      }
      if (entry.path().extension() != ".json") continue;
      Found f;
      f.path = entry.path().lexically_normal().string();
      f.size = static_cast<long long>(entry.file_size(e));
      f.mtimeNs = static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             entry.last_write_time(e).time_since_epoch())
                                             .count());
      found.push_back(std::move(f));
    }
    if (error) refuse(folder, "cannot be read: " + error.message());
  }
  std::sort(found.begin(), found.end(),
            [](const Found& a, const Found& b) { return a.path < b.path; });

  // The files the store has read before, as they were then.
  std::map<std::string, std::pair<long long, long long>> seen;
  for (const Row& row : store.Query("SELECT path, size, mtime_ns FROM files")) {
    seen[AsText(row[0])] = {AsNumber(row[1]), AsNumber(row[2])};
  }

  std::size_t at = 0;
  while (at < found.size()) {
    store.Begin();
    try {
      std::size_t inBatch = 0;
      for (; at < found.size() && inBatch < options.batchRuns; ++at) {
        const Found& f = found[at];
        if (const auto it = seen.find(*Utf8(f.path));
            it != seen.end() && it->second == std::make_pair(f.size, f.mtimeNs)) {
          ++tally.unchanged;
          continue;
        }
        if (options.refusedBefore != nullptr) {
          const auto it = options.refusedBefore->find(f.path);
          if (it != options.refusedBefore->end() &&
              it->second == std::make_pair(f.size, f.mtimeNs)) {
            ++tally.refused;  // said at an earlier pass, unchanged since
            continue;
          }
        }
        current = &f;
        bool ok = false;
        const std::string text = ReadWhole(f.path, ok);
        if (!ok) {
          refuse(f.path, "cannot be read");
          continue;
        }
        ReadRecord read;
        std::string reason;
        if (!ReadRecordText(text, read, reason)) {
          refuse(f.path, reason);
          continue;
        }
        bool same = false;
        if (StoreRun(store, read, f.path, same)) {
          ++tally.stored;
          ++inBatch;
        } else if (same) {
          ++tally.known;
        } else {
          refuse(f.path, "a different record under run id " + read.record.runId +
                             " is stored already; this one is not stored");
          continue;
        }
        store.Exec(
            "INSERT INTO files (path, size, mtime_ns, run_id) VALUES ($1, $2, $3, $4) "
            "ON CONFLICT (path) DO UPDATE SET size = excluded.size, mtime_ns = excluded.mtime_ns, "
            "run_id = excluded.run_id",
            {Utf8(f.path), Num(f.size), Num(f.mtimeNs), read.record.runId});
      }
      store.Commit();
    } catch (...) {
      store.Rollback();
      throw;
    }
    if (options.progress) options.progress(tally);
  }
  return tally;
}

}  // namespace fleet
