// What every family's state table is made of. The runner calls the handlers once per cycle from
// the highest state down, so a move to a lower state runs later in this same cycle and a move to
// the same or a higher state waits for the next cycle, after the 500 ms pause. A family's table
// says which of the two each move is meant to be, and the build checks it against the numbers.
#pragma once

#include <cstddef>

// When the state a handler moves to gets its turn.
enum class Cycle {
  kThis,  // later in this same cycle: the target's number is lower
  kNext,  // after the pause: the target's number is the same or higher
};

// One move of a family's sequence: from a state to another, and when the target acts.
template <class State>
struct Transition {
  State from;
  State to;
  Cycle when;
};

// The cycle the runner's descending order gives a move.
template <class State>
constexpr Cycle CycleOf(State from, State to) {
  return static_cast<int>(to) < static_cast<int>(from) ? Cycle::kThis : Cycle::kNext;
}

// True when every move of the table runs in the cycle it says: renumbering a state so that a
// move changes cycles fails the build instead of changing the run's timing.
template <class State, std::size_t N>
constexpr bool CyclesAgree(const Transition<State> (&table)[N]) {
  for (const Transition<State>& move : table) {
    if (CycleOf(move.from, move.to) != move.when) return false;
  }
  return true;
}

// True when the table lists a move from `from` to `to`.
template <class State, std::size_t N>
constexpr bool Listed(const Transition<State> (&table)[N], State from, State to) {
  for (const Transition<State>& move : table) {
    if (move.from == from && move.to == to) return true;
  }
  return false;
}
