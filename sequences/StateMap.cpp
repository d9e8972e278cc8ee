// The record of moves that a family's table does not list.
#include "sequences/StateMap.h"

#include <mutex>

namespace {

struct Record {
  std::mutex lock;
  std::vector<UnlistedMove> moves;
};

Record& TheRecord() {
  static Record record;
  return record;
}

}  // namespace

void NoteUnlistedMove(const UnlistedMove& move) {
  Record& record = TheRecord();
  const std::lock_guard<std::mutex> hold(record.lock);
  record.moves.push_back(move);
}

std::vector<std::string> TakeUnlistedMoves() {
  Record& record = TheRecord();
  std::vector<UnlistedMove> moves;
  {
    const std::lock_guard<std::mutex> hold(record.lock);
    moves.swap(record.moves);
  }
  std::vector<std::string> lines;
  lines.reserve(moves.size());
  for (const UnlistedMove& move : moves) {
    lines.push_back(std::string(move.family) + " " + std::to_string(move.from) + " -> " +
                    std::to_string(move.to));
  }
  return lines;
}
