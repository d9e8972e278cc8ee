// What a family's state map adds to its transition table: the step-list row each state reports
// on, successors that must be listed to build, and a record, in the run, of any move a worker
// makes that its table does not list (the console keeps the ended run, so it can be read then).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "report/RunState.h"
#include "sequences/StateTable.h"

// A state that reports on no row of its own: its step is judged by the state after it.
inline constexpr int kNoRow = -1;

// One line of a family's row table: a state beside the step-list row it reports on.
template <class State>
struct StateRow {
  State state;
  int row;
};

// True when line i of the row table is state i, so that a state's row is found by its number.
template <class State, std::size_t N>
constexpr bool RowsInStateOrder(const StateRow<State> (&rows)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(rows[i].state) != i) return false;
  }
  return true;
}

// True when the row table holds every state up to `last` in order and nothing past it: the
// family's highest state (the runner's first call of a cycle) is then its enum's last, and a
// state added after it does not build until it has a row and is made the last.
template <class State, std::size_t N>
constexpr bool RowsEndAt(const StateRow<State> (&rows)[N], State last) {
  return RowsInStateOrder(rows) && N == static_cast<std::size_t>(last) + 1;
}

// The row `state` reports on; kNoRow for a state past the table (one with no action).
template <class State, std::size_t N>
constexpr int RowOf(const StateRow<State> (&rows)[N], int state) {
  return state >= 0 && static_cast<std::size_t>(state) < N ? rows[state].row : kNoRow;
}

// The number of `to`, as the shared steps take a successor, once the table lists the move from
// `from`: a state map that names an unlisted successor does not build.
template <class State, std::size_t N>
consteval int ListedMove(const Transition<State> (&table)[N], State from, State to) {
  if (!Listed(table, from, to)) throw "the family's state table does not list this move";
  return static_cast<int>(to);
}

// Watches one handler call: constructed before the handler acts, it notes on leaving a change
// of the run's step state that the family's table does not list, in the run's UnlistedMoves. A
// handler that stays (a retry, a poll still waiting) makes no move.
template <class State, std::size_t N>
class MoveAudit {
 public:
  MoveAudit(const char* family, const Transition<State> (&table)[N], RunContext& run)
      : family_(family), table_(table), run_(run), from_(run.StepState) {}
  MoveAudit(const MoveAudit&) = delete;
  MoveAudit& operator=(const MoveAudit&) = delete;
  ~MoveAudit() {
    const int to = run_.StepState;
    if (to != from_ && !Listed(table_, static_cast<State>(from_), static_cast<State>(to))) {
      run_.UnlistedMoves.push_back(std::string(family_) + " " + std::to_string(from_) + " -> " +
                                   std::to_string(to));
    }
  }

 private:
  const char* family_;
  const Transition<State> (&table_)[N];
  RunContext& run_;
  int from_;
};
