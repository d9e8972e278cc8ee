// The fleet's database behind one small interface: SQLite (a file, made on first use) or
// PostgreSQL (a server), the same schema and the same statements on both. Every value a statement
// takes is a bound parameter ($1, $2, ... in the text), never part of the text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fleet {

// A statement's parameter or a result's cell: text, or NULL.
using Cell = std::optional<std::string>;
using Row = std::vector<Cell>;

struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A statement with its parameters, one of several run together (Store::QueryAll).
struct Statement {
  std::string sql;
  std::vector<Cell> params;
};

class Store {
 public:
  virtual ~Store() = default;
  // "sqlite" or "postgresql".
  virtual const char* Kind() const = 0;
  // Runs one statement with its parameters; its rows (none for a statement that returns none).
  // Throws StoreError with the database's own words on failure.
  virtual std::vector<Row> Query(const std::string& sql, const std::vector<Cell>& params = {}) = 0;
  // Runs the statements in order, stopping at the first that fails (StoreError); the rows of
  // each. A server is sent them all before its first answer is read: one round trip for all.
  virtual std::vector<std::vector<Row>> QueryAll(const std::vector<Statement>& statements) {
    std::vector<std::vector<Row>> results;
    for (const Statement& s : statements) results.push_back(Query(s.sql, s.params));
    return results;
  }
  // Rows the last INSERT, UPDATE or DELETE changed.
  virtual long long Changes() = 0;
  // From now on the connection refuses every write (the dashboard).
  virtual void SetReadOnly() = 0;
  void Exec(const std::string& sql, const std::vector<Cell>& params = {}) { Query(sql, params); }
  void Begin() { Exec("BEGIN"); }
  void Commit() { Exec("COMMIT"); }
  void Rollback() { Exec("ROLLBACK"); }
};

// "postgresql://..." or "postgres://..." opens a server; anything else is an SQLite file's path
// ("sqlite:PATH" too). The schema is brought to the newest version (SchemaVersion) on opening.
std::unique_ptr<Store> OpenStore(const std::string& url);
// The schema version the program writes, and the one a store holds.
int SchemaVersion();
int StoredSchemaVersion(Store& store);

// Text of a number, and a cell read as a number (0 for NULL or no number).
inline Cell Num(long long n) {
  return std::to_string(n);
}
long long AsNumber(const Cell& cell);
inline std::string AsText(const Cell& cell) {
  return cell.value_or(std::string());
}

}  // namespace fleet
