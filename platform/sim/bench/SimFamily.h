// What every family's simulated unit shares. Status replies: "O" done, "E" device error, "S07"
// loaded the input bin's last disc, "S12" the tray to load already holds a disc (or, on the
// HV22, the arm is blocked by a closed tray or jammed), "S01" a pick-up found no disc, "S08" the
// output bin is not attached. Each family's unit is a header of its own (SimHv22.h, ...),
// included by SimFamilies.cpp only.
#pragma once

#include "platform/sim/bench/SimUnit.h"

namespace platform::sim::units {

inline bool Is(const CommandKey& key, char letter, std::uint8_t number) {
  return key.letter == letter && key.number == number;
}

// Commands that no sequence sends but the catalogue defines: accepted and ignored.
inline bool Idle(const CommandKey& key) {
  return Is(key, 'M', 0x01) || Is(key, 'I', 0x08) || Is(key, 'I', 0x99);
}

}  // namespace platform::sim::units
