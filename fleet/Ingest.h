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

// Stores one record read back (the store's own insert path; the benchmark fills stores with it).
// False when its run id is taken: `sameContent` says whether by this very record.
bool StoreRun(Store& store, const ReadRecord& read, const std::string& path, bool& sameContent);

}  // namespace fleet
