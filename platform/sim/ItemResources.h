// The "ITEM" resources (step lists) compiled into the sim: the table is generated at build time
// from resources/LIST_*.txt; these declarations match that generated file exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace platform::sim {
struct ItemResource {
  const char* name;
  const std::uint8_t* bytes;
  std::size_t size;
};
extern const ItemResource kItemResources[];
extern const std::size_t kItemResourceCount;

// The bytes of the named resource (names compare without regard to case, as resource names
// do on Windows); empty when there is none.
std::span<const std::uint8_t> FindItemResource(std::string_view name);
}  // namespace platform::sim
