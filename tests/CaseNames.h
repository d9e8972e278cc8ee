// Readable names for the cases of a table-driven test: a case is named by a text of its own row
// (a model, a serial, the message it expects), so that a listing or a failure says which case it
// is instead of a number.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

// The text as a test name: letters and digits kept, every run of anything else one "_", none at
// either end.
inline std::string CaseName(std::string_view text) {
  std::string name;
  bool gap = false;
  for (const char c : text) {
    const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!kept) {
      gap = true;
      continue;
    }
    if (gap && !name.empty()) name += '_';
    gap = false;
    name += c;
  }
  return name;
}

// The name generator of INSTANTIATE_TEST_SUITE_P for a table whose rows each hold a text that
// tells them apart: NameBy(&Case::field).
template <class Case, class Text>
auto NameBy(Text Case::*field) {
  return
      [field](const ::testing::TestParamInfo<Case>& info) { return CaseName(info.param.*field); };
}
