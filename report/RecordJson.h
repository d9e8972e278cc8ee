// A record's JSON as a value, for the tools that add to it or lay it out otherwise
// (veltrane-bench --json, veltrane-log --json, the tests). Header only: the program writes
// records with RecordJsonText and links no JSON library.
#pragma once

#include <nlohmann/json.hpp>

#include "report/RecordReport.h"

inline nlohmann::json RecordJson(const RunRecord& record) {
  return nlohmann::json::parse(RecordJsonText(record));
}
