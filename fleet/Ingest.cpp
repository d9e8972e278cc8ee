// Ingest: list the folders, skip what the store has read before, read and check the rest, and
// store them a batch per transaction, each run under its id once.
#include "fleet/Ingest.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

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

// Rows of one table, many a statement: a power of two of them up to 256, so that the few texts
// repeat and the store's prepared statements serve again. The rows' cells are moved into the
// statements, which are added to `out`.
void AddInserts(std::vector<Statement>& out, const std::string& head, std::vector<Row>& rows,
                const std::string& tail = "") {
  constexpr std::size_t kMostRows = 256;
  for (std::size_t from = 0; from < rows.size();) {
    std::size_t count = kMostRows;
    while (count > rows.size() - from) count /= 2;
    Statement& s = out.emplace_back();
    s.sql = head;
    s.params.reserve(count * rows[from].size());
    for (std::size_t r = from; r < from + count; ++r) {
      s.sql += r == from ? "(" : ", (";
      for (std::size_t c = 0; c < rows[r].size(); ++c) {
        s.params.push_back(std::move(rows[r][c]));
        s.sql += (c == 0 ? "$" : ", $") + std::to_string(s.params.size());
      }
      s.sql += ")";
    }
    s.sql += tail;
    from += count;
  }
}

// The content hash of each of these stored runs, by run id.
std::map<std::string, std::string> StoredHashes(Store& store, const std::vector<std::string>& ids) {
  std::map<std::string, std::string> hashes;
  constexpr std::size_t kMostIds = 256;
  for (std::size_t from = 0; from < ids.size();) {
    std::size_t count = kMostIds;
    while (count > ids.size() - from) count /= 2;
    std::string sql = "SELECT run_id, content_hash FROM runs WHERE run_id IN (";
    std::vector<Cell> params;
    for (std::size_t i = from; i < from + count; ++i) {
      params.push_back(ids[i]);
      sql += (i == from ? "$" : ", $") + std::to_string(params.size());
    }
    for (const Row& row : store.Query(sql + ")", params)) hashes[AsText(row[0])] = AsText(row[1]);
    from += count;
  }
  return hashes;
}

// A record file listed, read and checked by the reading thread: its rows, or why it is refused.
struct Parsed {
  const Found* file = nullptr;
  bool ok = false;
  std::string reason;
  RunRows rows;
  std::exception_ptr failure;  // what the reading thread could not go on from (out of memory)
};

// Reads and checks the files on a thread of its own while the caller stores what it has read:
// ingest takes about the longer of the two rather than their sum. At most `capacity` files wait
// read; the files come out in the order given.
class Reader {
 public:
  Reader(std::vector<const Found*> files, std::size_t capacity)
      : files_(std::move(files)), capacity_(std::max<std::size_t>(capacity, 1)) {
    if (!files_.empty()) thread_ = std::thread([this] { Run(); });
  }
  ~Reader() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  bool Done() const { return taken_ == files_.size(); }
  // The next file's outcome; only while !Done().
  Parsed Next() {
    std::unique_lock lock(mutex_);
    // The reader always moves on (a file read or refused), so each wait ends; the bound only
    // keeps every wait finite.
    while (!changed_.wait_for(lock, std::chrono::seconds(1), [&] { return !ready_.empty(); })) {
    }
    Parsed next = std::move(ready_.front());
    ready_.pop_front();
    ++taken_;
    lock.unlock();
    changed_.notify_all();
    if (next.failure) std::rethrow_exception(next.failure);
    return next;
  }

 private:
  void Run() {
    for (const Found* f : files_) {
      Parsed p;
      p.file = f;
      try {
        const std::string text = ReadWhole(f->path, p.ok);
        ReadRecord read;
        if (!p.ok) {
          p.reason = "cannot be read";
        } else if (!ReadRecordText(text, read, p.reason)) {
          p.ok = false;
        } else {
          p.rows = RowsOf(read, f->path);
        }
      } catch (...) {
        p.failure = std::current_exception();
      }
      std::unique_lock lock(mutex_);
      while (!changed_.wait_for(lock, std::chrono::seconds(1),
                                [&] { return stopping_ || ready_.size() < capacity_; })) {
      }
      if (stopping_) return;
      ready_.push_back(std::move(p));
      lock.unlock();
      changed_.notify_all();
    }
  }
  const std::vector<const Found*> files_;
  const std::size_t capacity_;
  std::size_t taken_ = 0;  // the caller's alone
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Parsed> ready_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

RunRows RowsOf(const ReadRecord& read, const std::string& path) {
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
  RunRows out;
  out.runId = r.runId;
  out.contentHash = read.contentHash;
  out.model = Utf8(r.unit.model);
  out.station = Utf8(r.computer);
  out.result = Utf8(r.result);
  out.serial = Utf8(r.unit.serial);
  out.run = {r.runId,
             read.contentHash,
             out.station,
             Utf8(r.item),
             r.socket >= 0 ? Num(r.socket) : Cell(),
             out.model,
             out.serial,
             Utf8(r.unit.firmware),
             out.result,
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
             Utf8(path)};
  int seq = 0;
  for (const RecordPrompt& p : r.promptsOutsideRows) {
    out.prompts.push_back({r.runId, Num(seq++), Cell(), Utf8(p.text), Utf8(p.caption),
                           Utf8(p.buttons), Utf8(p.icon), Utf8(p.answer)});
  }
  for (const RecordRow& row : r.rows) {
    out.steps.push_back({r.runId, Num(row.number), Utf8(row.caption), Utf8(row.icon),
                         Num(row.attempts), OptionalMs(row.begun, row.firstStart, offset),
                         OptionalMs(row.ended, row.lastEnd, offset), Num(row.begun ? 1 : 0),
                         Num(row.ended ? 1 : 0), Utf8(Joined(row.memo, '\n'))});
    for (const RecordPrompt& p : row.prompts) {
      out.prompts.push_back({r.runId, Num(seq++), Num(row.number), Utf8(p.text), Utf8(p.caption),
                             Utf8(p.buttons), Utf8(p.icon), Utf8(p.answer)});
    }
  }
  out.log = Utf8(Joined(r.log, '\n'));
  return out;
}

std::vector<RunOutcome> StoreRuns(Store& store, std::vector<RunRows>& runs) {
  std::vector<RunOutcome> outcomes(runs.size(), RunOutcome::kKnown);
  // The first of each run id is offered to the store; the server says which it took.
  std::map<std::string, std::size_t> first;
  std::vector<Row> offered;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (first.emplace(runs[i].runId, i).second) offered.push_back(std::move(runs[i].run));
  }
  std::vector<Statement> inserts;
  AddInserts(inserts,
             "INSERT INTO runs (run_id, content_hash, station, item, socket, model, serial, "
             "firmware, result, source, program, start_ms, end_ms, utc_offset, seconds, day, "
             "problem_row, problem_step, description, usb_ids, identification, drives, "
             "printer_queue, memo, path) VALUES ",
             offered, " ON CONFLICT (run_id) DO NOTHING RETURNING run_id");
  std::set<std::string> taken;
  for (const std::vector<Row>& rows : store.QueryAll(inserts)) {
    for (const Row& row : rows) taken.insert(AsText(row[0]));
  }
  // The others: the same record again, or a different one under a known id.
  std::vector<std::string> others;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (first[runs[i].runId] == i && taken.contains(runs[i].runId)) {
      outcomes[i] = RunOutcome::kStored;
    } else {
      others.push_back(runs[i].runId);
    }
  }
  const std::map<std::string, std::string> hashes = StoredHashes(store, others);
  std::set<std::pair<std::string, std::string>> facets;
  std::map<std::pair<std::string, std::string>, long long> units;
  std::vector<Row> steps, prompts, logs;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    RunRows& r = runs[i];
    if (outcomes[i] != RunOutcome::kStored) {
      const auto it = hashes.find(r.runId);
      outcomes[i] = it != hashes.end() && it->second == r.contentHash ? RunOutcome::kKnown
                                                                      : RunOutcome::kConflict;
      continue;
    }
    facets.emplace("model", AsText(r.model));
    facets.emplace("station", AsText(r.station));
    facets.emplace("result", AsText(r.result));
    ++units[{AsText(r.serial), AsText(r.model)}];
    for (Row& row : r.steps) steps.push_back(std::move(row));
    for (Row& row : r.prompts) prompts.push_back(std::move(row));
    logs.push_back({r.runId, std::move(r.log)});
  }
  // In key order: two ingests at once take the rows' locks in the same order.
  std::vector<Row> facetRows, unitRows;
  for (const auto& [kind, value] : facets) facetRows.push_back({kind, value});
  for (const auto& [key, count] : units) unitRows.push_back({key.first, key.second, Num(count)});
  // The rest of the batch's rows, all at once.
  inserts.clear();
  AddInserts(inserts, "INSERT INTO facets (kind, value) VALUES ", facetRows,
             " ON CONFLICT DO NOTHING");
  AddInserts(inserts, "INSERT INTO units (serial, model, runs) VALUES ", unitRows,
             " ON CONFLICT (serial, model) DO UPDATE SET runs = units.runs + excluded.runs");
  AddInserts(inserts,
             "INSERT INTO steps (run_id, number, caption, icon, attempts, first_start_ms, "
             "last_end_ms, begun, ended, memo) VALUES ",
             steps);
  AddInserts(inserts,
             "INSERT INTO prompts (run_id, seq, row_number, text, caption, buttons, icon, answer) "
             "VALUES ",
             prompts);
  AddInserts(inserts, "INSERT INTO logs (run_id, lines) VALUES ", logs);
  store.QueryAll(inserts);
  return outcomes;
}

IngestTally Ingest(Store& store, const std::vector<std::string>& folders,
                   const IngestOptions& options) {
  IngestTally tally;
  auto refuse = [&](const Found* file, const std::string& path, const std::string& reason) {
    if (file != nullptr && options.refusedBefore != nullptr) {
      (*options.refusedBefore)[file->path] = {file->size, file->mtimeNs};
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
      refuse(nullptr, folder, "cannot be read: " + error.message());
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
    if (error) refuse(nullptr, folder, "cannot be read: " + error.message());
  }
  std::sort(found.begin(), found.end(),
            [](const Found& a, const Found& b) { return a.path < b.path; });

  // The files the store has read before, as they were then, are not read again; nor, in a
  // watch, those refused before and unchanged since (said at an earlier pass).
  std::map<std::string, std::pair<long long, long long>> seen;
  for (const Row& row : store.Query("SELECT path, size, mtime_ns FROM files")) {
    seen[AsText(row[0])] = {AsNumber(row[1]), AsNumber(row[2])};
  }
  std::vector<const Found*> toRead;
  for (const Found& f : found) {
    if (const auto it = seen.find(*Utf8(f.path));
        it != seen.end() && it->second == std::make_pair(f.size, f.mtimeNs)) {
      ++tally.unchanged;
      continue;
    }
    if (options.refusedBefore != nullptr) {
      const auto it = options.refusedBefore->find(f.path);
      if (it != options.refusedBefore->end() && it->second == std::make_pair(f.size, f.mtimeNs)) {
        ++tally.refused;
        continue;
      }
    }
    toRead.push_back(&f);
  }
  if (toRead.empty()) {
    if (!found.empty() && options.progress) options.progress(tally);
    return tally;
  }

  Reader reader(toRead, 2 * options.batchRuns);
  while (!reader.Done()) {
    // A batch: up to batchRuns records read whole, the files refused among them, in file order.
    std::vector<Parsed> batch;
    std::vector<RunRows> runs;
    std::size_t good = 0;
    while (!reader.Done() && good < options.batchRuns) {
      batch.push_back(reader.Next());
      if (batch.back().ok) {
        ++good;
        runs.push_back(std::move(batch.back().rows));
      }
    }
    std::vector<RunOutcome> outcomes;
    std::vector<Row> files;
    store.Begin();
    try {
      outcomes = StoreRuns(store, runs);
      // Each file read once, the latest entry for a path listed twice (folders inside others).
      std::map<std::string, Row> byPath;
      for (std::size_t b = 0, g = 0; b < batch.size(); ++b) {
        if (!batch[b].ok) continue;
        if (outcomes[g] != RunOutcome::kConflict) {
          const Found& f = *batch[b].file;
          const std::string path = *Utf8(f.path);
          byPath[path] = {path, Num(f.size), Num(f.mtimeNs), runs[g].runId};
        }
        ++g;
      }
      for (auto& [path, row] : byPath) files.push_back(std::move(row));
      std::vector<Statement> inserts;
      AddInserts(inserts, "INSERT INTO files (path, size, mtime_ns, run_id) VALUES ", files,
                 " ON CONFLICT (path) DO UPDATE SET size = excluded.size, mtime_ns = "
                 "excluded.mtime_ns, run_id = excluded.run_id");
      store.QueryAll(inserts);
      store.Commit();
    } catch (...) {
      store.Rollback();
      throw;
    }
    for (std::size_t b = 0, g = 0; b < batch.size(); ++b) {
      const Parsed& p = batch[b];
      if (!p.ok) {
        refuse(p.file, p.file->path, p.reason);
        continue;
      }
      switch (outcomes[g]) {
        case RunOutcome::kStored:
          ++tally.stored;
          break;
        case RunOutcome::kKnown:
          ++tally.known;
          break;
        case RunOutcome::kConflict:
          refuse(p.file, p.file->path,
                 "a different record under run id " + runs[g].runId +
                     " is stored already; this one is not stored");
          break;
      }
      ++g;
    }
    if (options.progress) options.progress(tally);
  }
  return tally;
}

}  // namespace fleet
