// Lookup in the generated "ITEM" resource table.
#include "platform/sim/ItemResources.h"

#include <algorithm>
#include <cctype>

namespace platform::sim {

std::span<const std::uint8_t> FindItemResource(std::string_view name) {
  const auto sameName = [name](const ItemResource& item) {
    const std::string_view itemName(item.name);
    return std::equal(itemName.begin(), itemName.end(), name.begin(), name.end(),
                      [](char a, char b) {
                        return std::toupper(static_cast<unsigned char>(a)) ==
                               std::toupper(static_cast<unsigned char>(b));
                      });
  };
  const ItemResource* end = kItemResources + kItemResourceCount;
  const ItemResource* found = std::find_if(kItemResources, end, sameName);
  if (found == end) return {};
  return {found->bytes, found->size};
}

}  // namespace platform::sim
