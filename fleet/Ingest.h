// Gathering the records of station folders into the store, each run exactly once.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fleet/RecordRead.h"
#include "fleet/Store.h"

namespace fleet {

// Runs stored in one transaction: a batch is stored whole or not at all.
inline constexpr std::size_t kBatchRuns = 200;

struct IngestTally {
  long long stored = 0;     // runs new to the store
  long long known = 0;      // records of runs stored already (read again, or a copy elsewhere)
  long long unchanged = 0;  // files seen before, same size and time: not read again
  long long refused = 0;    // files that are no record, or a different record under a known id
  long long later = 0;      // records still being written (temporary files)
  std::vector<std::string> refusals;  // "FILE: reason", one per refused file
};

struct IngestOptions {
  // Called after each batch with the tally so far (progress on a terminal).
  std::function<void(const IngestTally&)> progress;
  // Called with each refusal as it is found.
  std::function<void(const std::string&)> refusal;
  std::size_t batchRuns = kBatchRuns;
  // Files refused by an earlier pass of the same watch (path: size, time): refused again without
  // a word until they change. None: every refused file is reported.
  std::map<std::string, std::pair<long long, long long>>* refusedBefore = nullptr;
};

// Reads every record file (*.json, at any depth) of the folders; stores the runs the store does
// not hold. Throws StoreError when the store fails (the batch under way is not stored).
IngestTally Ingest(Store& store, const std::vector<std::string>& folders,
                   const IngestOptions& options = {});

// A run's rows as the store takes them, made from a record read back: the texts in UTF-8, the
// times as UTC instants. Making them is the reading side's work, so that the writing side only
// stores.
struct RunRows {
  std::string runId;
  std::string contentHash;
  Row run;  // the runs table's columns, in the order of its INSERT
  std::vector<Row> steps;
  std::vector<Row> prompts;
  Cell log;
  Cell model, station, result, serial;
};
RunRows RowsOf(const ReadRecord& read, const std::string& path);

enum class RunOutcome {
  kStored,    // new to the store: stored
  kKnown,     // its run id is stored already, by this very record
  kConflict,  // its run id is stored already, by a different record: not stored
};

// Stores the runs of one batch (the store's own insert path; the benchmark fills stores with it),
// a statement per table for many runs, inside the caller's transaction. A run id given twice is
// stored once (the first). Takes the rows' cells (moved into the statements).
std::vector<RunOutcome> StoreRuns(Store& store, std::vector<RunRows>& runs);

}  // namespace fleet
