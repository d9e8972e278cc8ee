// Names, product numbers and command texts of the bench model.
#include "platform/sim/bench/BenchModel.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <system_error>

namespace platform::sim {
namespace {

// The bench's models by the names the catalogue gives them; everything else a model is comes
// from the catalogue.
struct BenchModelName {
  Model model;
  const char* name;
};

constexpr BenchModelName kModels[] = {
    {Model::kTM36K, "TM36K"}, {Model::kTM36P, "TM36P"}, {Model::kHV22, "HV22"},
    {Model::kLQ40, "LQ40"},   {Model::kZP61, "ZP61"},   {Model::kZP65, "ZP65"},
    {Model::kZP71, "ZP71"},   {Model::kZP75, "ZP75"},
};

constexpr bool EveryModelCatalogued() {
  for (const BenchModelName& row : kModels) {
    if (!models::IsModelName(row.name)) return false;
  }
  return true;
}
static_assert(EveryModelCatalogued(), "each bench model is a model of the catalogue");

const BenchModelName& RowOf(Model model) {
  for (const BenchModelName& row : kModels) {
    if (row.model == model) return row;
  }
  return kModels[0];
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

const char* ModelName(Model model) {
  return RowOf(model).name;
}

std::optional<Model> ParseModel(const std::string& text) {
  for (const BenchModelName& row : kModels) {
    if (text == row.name) return row.model;
  }
  return std::nullopt;
}

const models::ModelRow& CatalogueRow(Model model) {
  return *models::FindModel(RowOf(model).name);
}

std::uint16_t ProductOf(Model model) {
  return CatalogueRow(model).product;
}

bool IsProductOf(Model model, std::uint16_t product) {
  for (const models::ModelRow& row : models::kModels) {
    if (row.product == product && std::string_view(row.name) == RowOf(model).name) return true;
  }
  return false;
}

bool IsZp(Model model) {
  return CatalogueRow(model).worker == models::WorkerClass::kZP;
}

bool IsTm36(Model model) {
  return CatalogueRow(model).printer;
}

bool HasOutputBin(Model model) {
  return CatalogueRow(model).outputBin;
}

std::string FormatCommand(const CommandKey& key) {
  char text[32];
  if (key.numbered != 0) {
    std::snprintf(text, sizeof text, "LQ40_CMD[%d]", key.numbered);
  } else if (key.letter == '?') {
    std::snprintf(text, sizeof text, "AT+?");
  } else {
    std::snprintf(text, sizeof text, "AT+%c%02X", key.letter, key.number);
  }
  return text;
}

std::optional<CommandKey> ParseCommand(const std::string& text) {
  if (text == "AT+?") return CommandKey{0, '?', 0};
  // "LQ40_CMD[n]", n from 1 to 255 written as to_string writes it (no sign, space or zero
  // before it).
  constexpr std::string_view kLq40Command = "LQ40_CMD[";
  if (text.starts_with(kLq40Command) && text.ends_with(']')) {
    int n = 0;
    const char* last = text.data() + text.size() - 1;
    const auto [end, error] = std::from_chars(text.data() + kLq40Command.size(), last, n);
    if (error == std::errc() && end == last && n >= 1 && n <= 255 &&
        text == "LQ40_CMD[" + std::to_string(n) + "]") {
      return CommandKey{static_cast<std::uint8_t>(n), 0, 0};
    }
  }
  if (text.size() != 6 || text.compare(0, 3, "AT+") != 0) return std::nullopt;
  const char letter = text[3];
  const int high = HexDigit(text[4]);
  const int low = HexDigit(text[5]);
  if (letter < 'A' || letter > 'Z' || high < 0 || low < 0) return std::nullopt;
  return CommandKey{0, letter, static_cast<std::uint8_t>(high * 16 + low)};
}

CommandKey KeyOfBlock(const std::uint8_t* block) {
  if (block[1] != 0) return CommandKey{block[1], 0, 0};
  return CommandKey{0, static_cast<char>(block[2]), block[3]};
}

}  // namespace platform::sim
