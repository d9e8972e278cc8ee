// The families' state tables as a reader takes them: every state can be reached from the first,
// every row of the step list has a state reporting on it, only the last step ends without a move,
// and a move a worker makes outside its table is recorded (the session fixtures then fail).
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sequences/Hvthread.h"
#include "sequences/Lq40thread.h"
#include "sequences/StateMap.h"
#include "sequences/Tm36kthread.h"
#include "sequences/Tm36pthread.h"
#include "sequences/Zpthread.h"

namespace {

// A family's tables with the enum type taken out, and the step list they report on.
struct FamilyTables {
  const char* family;
  const char* stepList;   // resources/<stepList>.txt
  std::vector<int> rows;  // by state
  std::vector<std::pair<int, int>> moves;
  std::set<int> lastSteps;  // the states whose step ends the run
  // The states a unit of this step list runs (a family with two paths reports on two lists);
  // empty: every state.
  std::set<int> listStates;
};

template <class State, std::size_t R, std::size_t M>
FamilyTables Tables(const char* family, const char* stepList, const StateRow<State> (&rows)[R],
                    const Transition<State> (&moves)[M], std::initializer_list<State> lastSteps,
                    std::initializer_list<std::pair<State, State>> listRanges = {}) {
  FamilyTables out{family, stepList, {}, {}, {}, {}};
  for (const StateRow<State>& row : rows) out.rows.push_back(row.row);
  for (const Transition<State>& move : moves) {
    out.moves.emplace_back(static_cast<int>(move.from), static_cast<int>(move.to));
  }
  for (const State last : lastSteps) out.lastSteps.insert(static_cast<int>(last));
  for (const auto& [first, last] : listRanges) {
    for (int state = static_cast<int>(first); state <= static_cast<int>(last); ++state) {
      out.listStates.insert(state);
    }
  }
  return out;
}

std::size_t StepListRows(const std::string& name) {
  std::ifstream in(std::string(VELTRANE_SOURCE_DIR) + "/resources/" + name + ".txt",
                   std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::size_t rows = 0;
  std::string line;
  while (std::getline(text, line)) {
    if (!line.empty() && line != "\r") ++rows;
  }
  return rows;
}

constexpr std::initializer_list<ZpState> kZpEnds = {ZpState::kUnloadLower, ZpState::kPairUnload};
constexpr std::initializer_list<std::pair<ZpState, ZpState>> kZpOneByOneStates = {
    {ZpState::kDeviceInformation, ZpState::kUnloadLower}};
constexpr std::initializer_list<std::pair<ZpState, ZpState>> kZpPairStates = {
    {ZpState::kDeviceInformation, ZpState::kCloseUpper},
    {ZpState::kPairLoadLower, ZpState::kPairUnload}};

class FamilyTable : public ::testing::TestWithParam<FamilyTables> {};

TEST_P(FamilyTable, EveryStateIsReachedFromTheFirst) {
  const FamilyTables& t = GetParam();
  std::set<int> reached{0};
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [from, to] : t.moves) {
      if (reached.count(from) != 0 && reached.insert(to).second) grew = true;
    }
  }
  for (std::size_t state = 0; state < t.rows.size(); ++state) {
    EXPECT_EQ(reached.count(static_cast<int>(state)), 1u) << t.family << " state " << state;
  }
}

TEST_P(FamilyTable, EveryRowOfTheStepListHasAStateReportingOnIt) {
  const FamilyTables& t = GetParam();
  const std::size_t listRows = StepListRows(t.stepList);
  ASSERT_GT(listRows, 0u) << t.stepList;
  std::set<int> reported;
  for (std::size_t state = 0; state < t.rows.size(); ++state) {
    if (!t.listStates.empty() && t.listStates.count(static_cast<int>(state)) == 0) continue;
    const int row = t.rows[state];
    EXPECT_LT(row, static_cast<int>(listRows))
        << t.family << " state " << state << ": past the end of the list";
    if (row != kNoRow) reported.insert(row);
  }
  EXPECT_EQ(reported.size(), listRows) << t.family;
}

TEST_P(FamilyTable, OnlyTheLastStepHasNoMoveOnAndEveryMoveStaysInTheTable) {
  const FamilyTables& t = GetParam();
  const int states = static_cast<int>(t.rows.size());
  std::set<int> movesOn;
  for (const auto& [from, to] : t.moves) {
    EXPECT_LT(from, states) << t.family;
    EXPECT_LT(to, states) << t.family;
    EXPECT_NE(from, to) << t.family << ": a stay is not a move";
    movesOn.insert(from);
  }
  for (int state = 0; state < states; ++state) {
    EXPECT_EQ(movesOn.count(state) == 0, t.lastSteps.count(state) == 1)
        << t.family << " state " << state;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Families, FamilyTable,
    ::testing::Values(
        Tables("TM36K", "LIST_TM36K", kTm36kRows, kTm36kMoves, {Tm36kState::kPaperMode}),
        Tables("TM36P", "LIST_TM36P", kTm36pRows, kTm36pMoves, {Tm36pState::kPaperMode}),
        Tables("HV22", "LIST_HV22", kHv22Rows, kHv22Moves, {Hv22State::kUnload}),
        Tables("LQ40", "LIST_LQ40", kLq40Rows, kLq40Moves, {Lq40State::kToOutput}),
        // ZP65 and ZP75 pick one tray after the other (states to kUnloadLower); ZP61 and ZP71
        // pick both at once, their lists giving rows from 8 on to the pair states.
        Tables("ZP61", "LIST_ZP61", zp::kZpRows, zp::kZpTransitions, kZpEnds, kZpPairStates),
        Tables("ZP65", "LIST_ZP65", zp::kZpRows, zp::kZpTransitions, kZpEnds, kZpOneByOneStates),
        Tables("ZP71", "LIST_ZP71", zp::kZpRows, zp::kZpTransitions, kZpEnds, kZpPairStates),
        Tables("ZP75", "LIST_ZP75", zp::kZpRows, zp::kZpTransitions, kZpEnds, kZpOneByOneStates)),
    [](const auto& info) { return std::string(info.param.family); });

// The audit every family's state map runs around a handler, on a small table.
enum class Toy : int { kFirst = 0, kSecond = 1, kThird = 2 };
constexpr Transition<Toy> kToyMoves[] = {{Toy::kFirst, Toy::kSecond, Cycle::kNext},
                                         {Toy::kThird, Toy::kFirst, Cycle::kThis}};
static_assert(CyclesAgree(kToyMoves));

TEST(MoveAudit, RecordsOnlyAMoveTheTableDoesNotList) {
  RunContext run(nullptr, platform::kInvalidHandle);
  const auto handler = [&](int to) {
    const MoveAudit audit("TOY", kToyMoves, run);
    run.StepState = to;
  };
  handler(1);  // listed
  handler(1);  // a stay
  handler(0);  // 1 -> 0: not listed
  handler(2);  // 0 -> 2: not listed
  handler(0);  // listed
  EXPECT_EQ(run.UnlistedMoves, (std::vector<std::string>{"TOY 1 -> 0", "TOY 0 -> 2"}));
}

}  // namespace
