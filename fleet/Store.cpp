// The two backends of the fleet's store and the schema's migrations.
#include "fleet/Store.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdlib>
#include <unordered_map>

namespace fleet {
namespace {

// One entry per version; a store at version n runs the entries after n, each in a transaction
// with the raise of its version. Statements are the same on both databases.
const std::vector<std::vector<const char*>>& Migrations() {
  static const std::vector<std::vector<const char*>> migrations = {
      // 1: runs, their rows, prompts and log lines, and the files already read.
      {"CREATE TABLE runs (run_id TEXT PRIMARY KEY, content_hash TEXT NOT NULL, station TEXT NOT "
       "NULL, item TEXT NOT NULL, socket INTEGER, model TEXT NOT NULL, serial TEXT NOT NULL, "
       "firmware TEXT NOT NULL, result TEXT NOT NULL, source TEXT NOT NULL, program TEXT NOT NULL, "
       "start_ms BIGINT NOT NULL, end_ms BIGINT NOT NULL, utc_offset TEXT, seconds BIGINT NOT "
       "NULL, "
       "day TEXT NOT NULL, problem_row INTEGER, problem_step TEXT, description TEXT NOT NULL, "
       "usb_ids TEXT NOT NULL, identification TEXT NOT NULL, drives TEXT NOT NULL, printer_queue "
       "TEXT NOT NULL, memo TEXT NOT NULL, path TEXT NOT NULL)",
       "CREATE TABLE steps (run_id TEXT NOT NULL, number INTEGER NOT NULL, caption TEXT NOT NULL, "
       "icon TEXT NOT NULL, attempts INTEGER NOT NULL, first_start_ms BIGINT, last_end_ms BIGINT, "
       "begun INTEGER NOT NULL, ended INTEGER NOT NULL, memo TEXT NOT NULL, PRIMARY KEY (run_id, "
       "number))",
       "CREATE TABLE prompts (run_id TEXT NOT NULL, seq INTEGER NOT NULL, row_number INTEGER, "
       "text TEXT NOT NULL, caption TEXT NOT NULL, buttons TEXT NOT NULL, icon TEXT NOT NULL, "
       "answer TEXT NOT NULL, PRIMARY KEY (run_id, seq))",
       // A run's log is read whole, with its run: its lines in one text, one line each.
       "CREATE TABLE logs (run_id TEXT PRIMARY KEY, lines TEXT NOT NULL)",
       "CREATE TABLE files (path TEXT PRIMARY KEY, size BIGINT NOT NULL, mtime_ns BIGINT NOT NULL, "
       "run_id TEXT NOT NULL)"},
      // 2: what the dashboard's pages look up, so that no page reads every run.
      {"CREATE INDEX runs_by_start ON runs (start_ms)",
       "CREATE INDEX runs_by_model ON runs (model, start_ms)",
       "CREATE INDEX runs_by_station ON runs (station, start_ms)",
       "CREATE INDEX runs_by_serial ON runs (serial, start_ms)"},
      // 3: the models, stations and result words there are, for the filters' choices.
      {"CREATE TABLE facets (kind TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY (kind, value))",
       "INSERT INTO facets (kind, value) SELECT DISTINCT 'model', model FROM runs",
       "INSERT INTO facets (kind, value) SELECT DISTINCT 'station', station FROM runs",
       "INSERT INTO facets (kind, value) SELECT DISTINCT 'result', result FROM runs"},
      // 4: every unit with its count of runs, kept as runs are stored: search reads units, not
      // their runs.
      {"CREATE TABLE units (serial TEXT NOT NULL, model TEXT NOT NULL, runs BIGINT NOT NULL, "
       "PRIMARY KEY (serial, model))",
       "INSERT INTO units (serial, model, runs) SELECT serial, model, COUNT(*) FROM runs GROUP BY "
       "serial, model"},
  };
  return migrations;
}

// "$1" -> "?1": SQLite numbers its parameters so.
std::string SqliteText(const std::string& sql) {
  std::string out = sql;
  for (char& c : out) {
    if (c == '$') c = '?';
  }
  return out;
}

class SqliteStore : public Store {
 public:
  explicit SqliteStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      throw StoreError(path + ": " + why);
    }
    // Another ingest or the dashboard may hold the file a moment: wait for it, boundedly.
    sqlite3_busy_timeout(db_, 10000);
    // The write-ahead log lets the dashboard read while an ingest writes; a transaction is
    // durable once COMMIT returns, whatever happens to the process after.
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    // Pages in memory rather than read again through the kernel at every index step.
    Exec("PRAGMA cache_size=-65536");
    Exec("PRAGMA mmap_size=268435456");
    // A statement of many rows keeps the pages it changes for its own undoing in memory, not in
    // a temporary file; it is undone only while the process lives, so no crash depends on it.
    Exec("PRAGMA temp_store=MEMORY");
    // The write-ahead log copied into the file every 64 MB of it, not every 4 MB: a batch of runs
    // rewrites the same index pages, and each copy ends in an fsync. Commits stay as durable.
    Exec("PRAGMA wal_autocheckpoint=16384");
  }
  ~SqliteStore() override {
    for (auto& [sql, statement] : cache_) sqlite3_finalize(statement);
    sqlite3_close(db_);
  }
  const char* Kind() const override { return "sqlite"; }
  void SetReadOnly() override { Exec("PRAGMA query_only = ON"); }

  std::vector<Row> Query(const std::string& sql, const std::vector<Cell>& params) override {
    sqlite3_stmt* statement = Prepared(sql);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    // The parameters outlive the statement's steps: bound in place, not copied.
    for (std::size_t i = 0; i < params.size(); ++i) {
      const int at = static_cast<int>(i) + 1;
      const int rc = params[i]
                         ? sqlite3_bind_text(statement, at, params[i]->data(),
                                             static_cast<int>(params[i]->size()), SQLITE_STATIC)
                         : sqlite3_bind_null(statement, at);
      if (rc != SQLITE_OK) throw StoreError(sqlite3_errmsg(db_));
    }
    std::vector<Row> rows;
    for (;;) {
      const int rc = sqlite3_step(statement);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) {
        const std::string why = sqlite3_errmsg(db_);
        sqlite3_reset(statement);
        throw StoreError(why);
      }
      Row row;
      const int columns = sqlite3_column_count(statement);
      for (int c = 0; c < columns; ++c) {
        if (sqlite3_column_type(statement, c) == SQLITE_NULL) {
          row.emplace_back();
        } else {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
          row.emplace_back(
              std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    sqlite3_reset(statement);
    return rows;
  }
  long long Changes() override { return sqlite3_changes(db_); }

 private:
  sqlite3_stmt* Prepared(const std::string& sql) {
    if (const auto found = cache_.find(sql); found != cache_.end()) return found->second;
    // The statements' texts are the program's own, a bounded set; the bound is a safeguard.
    if (cache_.size() >= 512) {
      for (auto& [text, statement] : cache_) sqlite3_finalize(statement);
      cache_.clear();
    }
    sqlite3_stmt* statement = nullptr;
    const std::string text = SqliteText(sql);
    if (sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()), &statement, nullptr) !=
        SQLITE_OK) {
      throw StoreError(std::string(sqlite3_errmsg(db_)) + " in: " + sql);
    }
    cache_.emplace(sql, statement);
    return statement;
  }
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> cache_;
};

class PostgresStore : public Store {
 public:
  explicit PostgresStore(const std::string& url) : conn_(PQconnectdb(url.c_str())) {
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
      const std::string why = conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory";
      PQfinish(conn_);
      conn_ = nullptr;
      throw StoreError("the PostgreSQL server: " + Trimmed(why));
    }
    // Notices (a table that exists already, ...) are the server's business, not the operator's.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    Exec("SET client_encoding TO 'UTF8'");
  }
  ~PostgresStore() override { PQfinish(conn_); }
  const char* Kind() const override { return "postgresql"; }
  void SetReadOnly() override { Exec("SET default_transaction_read_only = on"); }

  std::vector<Row> Query(const std::string& sql, const std::vector<Cell>& params) override {
    std::vector<const char*> values = Values(params);
    PGresult* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                    values.data(), nullptr, nullptr, 0);
    std::string why;
    std::vector<Row> rows = Taken(result, why);
    if (!why.empty()) throw StoreError(why);
    return rows;
  }
  // In libpq's pipeline mode: every statement sent, then the answers read. The answers are a few
  // bytes a statement (rows only where one returns them), so the server never waits on a client
  // that is still sending.
  std::vector<std::vector<Row>> QueryAll(const std::vector<Statement>& statements) override {
    if (statements.size() < 2) return Store::QueryAll(statements);
    // The few texts of the write path, each parsed and planned once a connection.
    std::vector<std::string> names;
    for (const Statement& s : statements) names.push_back(Prepared(s));
    if (PQenterPipelineMode(conn_) != 1) throw StoreError(Trimmed(PQerrorMessage(conn_)));
    std::string why;
    std::size_t sent = 0;
    for (const Statement& s : statements) {
      const std::vector<const char*> values = Values(s.params);
      if (PQsendQueryPrepared(conn_, names[sent].c_str(), static_cast<int>(values.size()),
                              values.data(), nullptr, nullptr, 0) != 1) {
        why = Trimmed(PQerrorMessage(conn_));
        break;
      }
      ++sent;
    }
    const bool synced = PQpipelineSync(conn_) == 1;
    if (!synced && why.empty()) why = Trimmed(PQerrorMessage(conn_));
    // Each statement sent: its result, then none (the end of its results). After the first that
    // fails, the server skips the rest (PGRES_PIPELINE_ABORTED) up to the sync.
    std::vector<std::vector<Row>> results;
    for (std::size_t i = 0; i < sent; ++i) {
      PGresult* result = PQgetResult(conn_);
      if (result == nullptr) {
        if (why.empty()) why = Trimmed(PQerrorMessage(conn_));
        break;
      }
      if (PQresultStatus(result) == PGRES_PIPELINE_ABORTED) {
        PQclear(result);
      } else {
        std::string failed;
        results.push_back(Taken(result, failed));
        if (why.empty()) why = failed;
      }
      while (PGresult* more = PQgetResult(conn_)) PQclear(more);
    }
    if (synced) {
      if (PGresult* sync = PQgetResult(conn_)) PQclear(sync);
    }
    if (PQexitPipelineMode(conn_) != 1 && why.empty()) why = Trimmed(PQerrorMessage(conn_));
    if (!why.empty()) throw StoreError(why);
    return results;
  }
  long long Changes() override { return changes_; }

 private:
  // The name of the statement prepared with this text, prepared now if it is new.
  std::string Prepared(const Statement& s) {
    if (const auto found = prepared_.find(s.sql); found != prepared_.end()) return found->second;
    // The texts are the program's own, a bounded set; the bound is a safeguard.
    if (prepared_.size() >= 256) {
      Exec("DEALLOCATE ALL");
      prepared_.clear();
    }
    const std::string name = "fleet_" + std::to_string(++preparedCount_);
    PGresult* result =
        PQprepare(conn_, name.c_str(), s.sql.c_str(), static_cast<int>(s.params.size()), nullptr);
    std::string why;
    Taken(result, why);
    if (!why.empty()) throw StoreError(why);
    return prepared_.emplace(s.sql, name).first->second;
  }
  static std::vector<const char*> Values(const std::vector<Cell>& params) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const Cell& p : params) values.push_back(p ? p->c_str() : nullptr);
    return values;
  }
  // A result's rows, taken and the result freed; `why` says the server's words if it failed.
  std::vector<Row> Taken(PGresult* result, std::string& why) {
    const ExecStatusType status = PQresultStatus(result);
    std::vector<Row> rows;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      why = result != nullptr ? Trimmed(PQresultErrorMessage(result))
                              : Trimmed(PQerrorMessage(conn_));
      if (why.empty()) why = "the PostgreSQL server failed the statement";
      PQclear(result);
      return rows;
    }
    const int count = PQntuples(result);
    const int columns = PQnfields(result);
    rows.reserve(static_cast<std::size_t>(count));
    for (int r = 0; r < count; ++r) {
      Row row;
      for (int c = 0; c < columns; ++c) {
        if (PQgetisnull(result, r, c)) {
          row.emplace_back();
        } else {
          row.emplace_back(std::string(PQgetvalue(result, r, c),
                                       static_cast<std::size_t>(PQgetlength(result, r, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    const char* changed = PQcmdTuples(result);
    changes_ = changed != nullptr && *changed != '\0' ? std::atoll(changed) : 0;
    PQclear(result);
    return rows;
  }
  static std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }
  PGconn* conn_;
  long long changes_ = 0;
  std::unordered_map<std::string, std::string> prepared_;  // text -> name
  long long preparedCount_ = 0;
};

void Migrate(Store& store) {
  store.Exec("CREATE TABLE IF NOT EXISTS fleet_schema (version INTEGER NOT NULL)");
  if (store.Query("SELECT version FROM fleet_schema").empty()) {
    store.Exec("INSERT INTO fleet_schema (version) VALUES (0)");
  }
  const auto& migrations = Migrations();
  for (int version = StoredSchemaVersion(store); version < SchemaVersion(); ++version) {
    store.Begin();
    try {
      // Another process may have raised it meanwhile: the version is read again inside.
      if (StoredSchemaVersion(store) == version) {
        for (const char* sql : migrations[static_cast<std::size_t>(version)]) store.Exec(sql);
        store.Exec("UPDATE fleet_schema SET version = $1", {Num(version + 1)});
      }
      store.Commit();
    } catch (...) {
      store.Rollback();
      throw;
    }
  }
  if (StoredSchemaVersion(store) > SchemaVersion()) {
    throw StoreError("the store's schema is version " + std::to_string(StoredSchemaVersion(store)) +
                     ", newer than this program's " + std::to_string(SchemaVersion()));
  }
}

}  // namespace

int SchemaVersion() {
  return static_cast<int>(Migrations().size());
}

int StoredSchemaVersion(Store& store) {
  const auto rows = store.Query("SELECT version FROM fleet_schema");
  return rows.empty() ? 0 : static_cast<int>(AsNumber(rows[0][0]));
}

long long AsNumber(const Cell& cell) {
  return cell ? std::atoll(cell->c_str()) : 0;
}

std::unique_ptr<Store> OpenStore(const std::string& url) {
  std::unique_ptr<Store> store;
  if (url.starts_with("postgresql://") || url.starts_with("postgres://")) {
    store = std::make_unique<PostgresStore>(url);
  } else {
    store = std::make_unique<SqliteStore>(url.starts_with("sqlite:") ? url.substr(7) : url);
  }
  Migrate(*store);
  return store;
}

}  // namespace fleet
